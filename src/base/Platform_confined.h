// How the platform layer reaches a path that may lie below a folder held by CConfinedFolder: below
// it no symbolic link is followed, the last component included. Only the platform layer uses this;
// everything else goes through Files.h and Folders.h.
#pragma once

#include <string>

// Like open(2) with an OS path. Below a confined folder a link or a ".." that climbs out is
// refused (-1, errno ELOOP or EXDEV), named on standard error and counted.
int OpenConfinable(const std::string& osPath, int flags, unsigned mode = 0);

// The folder that holds a path's last component, for the *at calls. Below a confined folder it is
// opened without following a link; anywhere else Fd() is AT_FDCWD and Name() the whole path, so
// the same call serves both.
class CConfinableParent
{
  public:
    explicit CConfinableParent(const std::string& osPath);
    ~CConfinableParent();
    CConfinableParent(const CConfinableParent&) = delete;
    CConfinableParent& operator=(const CConfinableParent&) = delete;

    // False when the folder could not be reached (missing, or refused and already reported).
    bool Reached() const { return m_Reached; }
    int Fd() const { return m_Fd; }
    const char* Name() const { return m_Name.c_str(); }
    // True, after naming and counting it, when the path lies below a confined folder and its last
    // component is a symbolic link.
    bool RefuseLink() const;

  private:
    bool m_Reached = false;
    int m_Fd;
    std::string m_Name;
    std::string m_Path;
};

// Names on standard error a symbolic link the run would not follow, and counts it as a refusal.
void ReportRefusedLink(const std::string& path);

// Tests run the walk that stands in for openat2 on kernels without it.
void UseConfinedWalkOnly(bool walkOnly);
