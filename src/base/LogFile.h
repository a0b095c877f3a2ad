// The run log's file as the operating system holds it: "<folder>/marlek_log/<name>", moved into
// "marlek_log/OK/" once the run succeeded. Both folders are opened once and never through a
// symbolic link: someone else may have made them first, and a link there would carry the log, and
// the removal of an older one, into any folder.
#pragma once

#include <cstddef>
#include <string>

class CLogFile
{
  public:
    CLogFile() = default;
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // folder (followed, as the user's) gets "marlek_log/OK/" made in it if need be; the log of an
    // earlier run under name is replaced. shownLogFolder names marlek_log in a refusal.
    bool Create(const std::string& folder, const std::string& name, const std::string& shownLogFolder);
    bool Write(const char* data, size_t size);
    // Moves the file into OK/ (replacing whatever had its name there) and closes everything.
    bool FileAsSuccess();
    // Deletes the file and closes everything.
    void Remove();
    void Close();
    bool IsOpen() const { return m_Fd >= 0; }

  private:
    int m_Fd = -1;
    int m_FolderFd = -1; // marlek_log and its OK folder
    int m_OkFd = -1;
    std::string m_Name;
};
