// Folders whose contents are reached without following symbolic links: openat2 resolves the part
// below the folder in one call where the kernel has it, a walk of one folder at a time otherwise.
#include "base/Platform_confined.h"

#include "base/Folders.h"
#include "base/Paths.h"
#include "base/Progress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// More lines than this would only repeat what the first ones say: a folder link in the way of a
// book's images is met once per image.
constexpr uint32_t REFUSALS_SHOWN = 5;

struct ConfinedRoot {
    const CConfinedFolder* owner;
    std::string shown;                   // as the caller gave it, ending with "/"
    std::vector<std::string> components; // named from "/"
    std::vector<std::string> exempt;     // OS forms
    int fd;
};

std::vector<ConfinedRoot>& Roots()
{
    static std::vector<ConfinedRoot> roots;
    return roots;
}

bool g_WalkOnly = false;
// The working folder, which this program never changes, to name relative paths from "/".
std::vector<std::string> g_Cwd;

// Forked copies count their refusals where the parent sees them: in a page they all share.
std::atomic<uint32_t>& RefusalCount()
{
    static std::atomic<uint32_t>* count = [] {
        static std::atomic<uint32_t> unshared{0};
        void* page = ::mmap(nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        return page == MAP_FAILED ? &unshared : new (page) std::atomic<uint32_t>(0);
    }();
    return *count;
}

void Refuse(const std::string& path, const char* why)
{
    if (RefusalCount().fetch_add(1) < REFUSALS_SHOWN) TellUser("%s %s", path.c_str(), why);
}

// The components of an OS path without empty ones and ".", ".." kept.
std::vector<std::string> Components(const std::string& osPath)
{
    std::vector<std::string> parts = SplitPath(osPath);
    parts.erase(std::remove(parts.begin(), parts.end(), "."), parts.end());
    return parts;
}

std::string JoinComponents(const std::vector<std::string>& parts, size_t count)
{
    std::string joined;
    for (size_t i = 0; i < count; ++i)
        joined += (i > 0 ? "/" : "") + parts[i];
    return joined;
}

// Root: the path names the folder itself, through a ".." that came back to it or by its own name.
enum class Where { Outside, Root, Below, Refused };

// Whether the path lies below a confined folder (the deepest that holds it) and, if so, its
// components below that folder with every ".." taken back. With no link below the folder, a
// ".." is exactly the folder before it, so taking it back by name is what the kernel would do.
Where Locate(const std::string& osPath, const ConfinedRoot*& root, std::vector<std::string>& below)
{
    root = nullptr;
    if (Roots().empty()) return Where::Outside;
    std::vector<std::string> parts = Components(osPath);
    if (osPath.empty() || osPath[0] != '/') parts.insert(parts.begin(), g_Cwd.begin(), g_Cwd.end());
    for (const ConfinedRoot& candidate : Roots()) {
        const std::vector<std::string>& prefix = candidate.components;
        if (prefix.size() <= parts.size() && std::equal(prefix.begin(), prefix.end(), parts.begin()) &&
            (root == nullptr || prefix.size() > root->components.size()))
            root = &candidate;
    }
    if (root == nullptr) return Where::Outside;
    if (std::find(root->exempt.begin(), root->exempt.end(), osPath) != root->exempt.end()) {
        root = nullptr;
        return Where::Outside;
    }
    below.clear();
    for (size_t i = root->components.size(); i < parts.size(); ++i) {
        if (parts[i] != "..") {
            below.push_back(parts[i]);
        } else if (below.empty()) {
            Refuse(osPath, "climbs out of the folder it was meant for; refused");
            errno = EXDEV;
            return Where::Refused;
        } else {
            below.pop_back();
        }
    }
    return below.empty() ? Where::Root : Where::Below;
}

// After a failure, whether it was a link that stood in the way: the first component below the
// folder that is one is named and counted.
bool RefuseLinkBelow(const ConfinedRoot& root, const std::vector<std::string>& below, size_t count)
{
    for (size_t i = 1; i <= count; ++i) {
        std::string prefix = JoinComponents(below, i);
        struct stat st;
        if (::fstatat(root.fd, prefix.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            ReportRefusedLink(root.shown + prefix);
            errno = ELOOP;
            return true;
        }
    }
    return false;
}

// openat2 below the folder, or -1 with errno ENOSYS when the kernel (or a sandbox) lacks it.
int OpenBeneath(const ConfinedRoot& root, const std::string& relative, int flags, unsigned mode)
{
    if (g_WalkOnly) {
        errno = ENOSYS;
        return -1;
    }
    static bool unavailable = false;
    if (unavailable) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0; // openat2 refuses a mode that would go unused
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long fd;
    int tries = 0;
    do
        fd = ::syscall(SYS_openat2, root.fd, relative.c_str(), &how, sizeof how);
    // EAGAIN: a rename elsewhere in the tree kept the kernel from vouching for the resolution.
    while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++tries < 8)));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == EAGAIN)) {
        if (errno == ENOSYS) unavailable = true;
        errno = ENOSYS; // EPERM from a filter, or EAGAIN after retries: the walk decides
    }
    return static_cast<int>(fd);
}

// The first count components below the folder, opened one folder at a time, none as a link.
int WalkFolders(const ConfinedRoot& root, const std::vector<std::string>& below, size_t count)
{
    int dir = ::fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
    for (size_t i = 0; i < count && dir >= 0; ++i) {
        int next = ::openat(dir, below[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        ::close(dir);
        dir = next;
        errno = error;
    }
    return dir;
}

int OpenFolders(const ConfinedRoot& root, const std::vector<std::string>& below, size_t count)
{
    if (count == 0) return ::fcntl(root.fd, F_DUPFD_CLOEXEC, 0);
    int fd = OpenBeneath(root, JoinComponents(below, count), O_PATH | O_DIRECTORY, 0);
    if (fd < 0 && errno == ENOSYS) fd = WalkFolders(root, below, count);
    // A link as the last folder, opened with O_DIRECTORY | O_NOFOLLOW, reads as "not a folder".
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) RefuseLinkBelow(root, below, count);
    return fd;
}

} // namespace

void ReportRefusedLink(const std::string& path)
{
    Refuse(path, "is a symbolic link; refused, not followed");
}

void UseConfinedWalkOnly(bool walkOnly)
{
    g_WalkOnly = walkOnly;
}

int OpenConfinable(const std::string& osPath, int flags, unsigned mode)
{
    const ConfinedRoot* root = nullptr;
    std::vector<std::string> below;
    switch (Locate(osPath, root, below)) {
    case Where::Outside:
        return ::open(osPath.c_str(), flags, mode);
    case Where::Root:
        return ::openat(root->fd, ".", flags | O_CLOEXEC, mode);
    case Where::Refused:
        return -1;
    case Where::Below:
        break;
    }
    int fd = OpenBeneath(*root, JoinComponents(below, below.size()), flags, mode);
    if (fd < 0 && errno == ENOSYS) {
        int parent = OpenFolders(*root, below, below.size() - 1);
        if (parent < 0) return -1; // a link on the way was already named
        do
            fd = ::openat(parent, below.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        while (fd < 0 && errno == EINTR);
        int error = errno;
        ::close(parent);
        errno = error;
    }
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR)) RefuseLinkBelow(*root, below, below.size());
    return fd;
}

CConfinableParent::CConfinableParent(const std::string& osPath)
    : m_Fd(AT_FDCWD), m_Name(osPath), m_Path(osPath)
{
    const ConfinedRoot* root = nullptr;
    std::vector<std::string> below;
    switch (Locate(osPath, root, below)) {
    case Where::Outside:
        m_Reached = true;
        return;
    case Where::Root:
        m_Fd = ::fcntl(root->fd, F_DUPFD_CLOEXEC, 0);
        m_Name = ".";
        m_Reached = m_Fd >= 0;
        return;
    case Where::Refused:
        m_Fd = -1;
        return;
    case Where::Below:
        break;
    }
    m_Name = below.back();
    m_Path = root->shown + JoinComponents(below, below.size());
    m_Fd = OpenFolders(*root, below, below.size() - 1);
    m_Reached = m_Fd >= 0;
}

CConfinableParent::~CConfinableParent()
{
    if (m_Fd >= 0) ::close(m_Fd);
}

bool CConfinableParent::RefuseLink() const
{
    struct stat st;
    if (m_Fd < 0 || ::fstatat(m_Fd, m_Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
        return false;
    ReportRefusedLink(m_Path);
    return true;
}

CConfinedFolder::~CConfinedFolder()
{
    Release();
}

ResultCode CConfinedFolder::Confine(const std::string& folder, const std::vector<std::string>& exempt)
{
    Release();
    std::string os = ToOsPath(folder);
    // Following the folder's own name once pins it: a link put in its place later changes nothing.
    if (os.empty()) os = ".";
    int fd = ::open(os.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return RC_DIR_GET_FAILED;
    std::string current;
    if (GetCurrentDirectory(current) != RC_OK) {
        ::close(fd);
        return RC_DIR_GET_FAILED;
    }
    g_Cwd = Components(current);
    ConfinedRoot root{this, os, Components(os[0] == '/' ? os : current + "/" + os), {}, fd};
    if (root.shown.back() != '/') root.shown += '/';
    for (const std::string& file : exempt)
        root.exempt.push_back(ToOsPath(file));
    m_RefusalsBefore = RefusalCount().load();
    Roots().push_back(std::move(root));
    m_Held = true;
    return RC_OK;
}

void CConfinedFolder::Release()
{
    if (!m_Held) return;
    std::vector<ConfinedRoot>& roots = Roots();
    for (auto it = roots.begin(); it != roots.end(); ++it) {
        if (it->owner != this) continue;
        ::close(it->fd);
        roots.erase(it);
        break;
    }
    m_Held = false;
}

uint32_t CConfinedFolder::Refusals() const
{
    return m_Held ? RefusalCount().load() - m_RefusalsBefore : 0;
}
