// The packer's one door to the operating system: files, directories, the environment and its
// own location, with paths as UTF-8 on both systems. system_posix.cpp and system_windows.cpp
// implement it; nothing else in the packer includes a system header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stubpack::sys {

using Bytes = std::vector<uint8_t>;

// What a path names, symbolic links followed.
struct FileStatus {
  bool directory = false;
  bool regular = false;
  uint64_t size = 0;
  int64_t modified = 0;  // seconds since 1970, UTC
  // Together they tell one file from another: device and inode, volume serial and file index.
  uint64_t volume = 0, id = 0;
};
// False when the path names nothing reachable; `problem` is the system's text ("No such file or
// directory"), without the path.
bool Status(const std::string& path, FileStatus& status, std::string& problem);

// An open file that this process owns; closed by the destructor.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // For reading, front to back; fails (problem: "is not a regular file") on anything but a
  // regular file. Others may read, replace or delete the file meanwhile.
  bool OpenRead(const std::string& path, std::string& problem);
  bool Valid() const;
  bool Size(uint64_t& size, std::string& problem) const;
  // What the open file is (its identity, size and time).
  bool Info(FileStatus& status, std::string& problem) const;
  // Reads up to `size` bytes at `offset`; 0 at the end; -1 with `problem` on an error.
  int64_t ReadAt(uint64_t offset, void* data, size_t size, std::string& problem) const;
  // Writes all of it after what Write wrote before (from the position the file had when opened
  // or adopted), or at `offset`, or fails with `problem`. Neither moves the other's place.
  bool Write(const void* data, size_t size, std::string& problem);
  bool WriteAt(uint64_t offset, const void* data, size_t size, std::string& problem);
  bool Close(std::string& problem);

  // The implementation's handle (a descriptor or a HANDLE), for the other system files.
  intptr_t Native() const { return native_; }
  void Adopt(intptr_t native);

 private:
  intptr_t native_ = -1;
  uint64_t end_ = 0;  // where Write goes next, on Windows (ReadAt and WriteAt leave it alone)
};

// The whole file, or false with `problem`.
bool ReadWhole(const std::string& path, Bytes& bytes, std::string& problem);

// A read-only view of the whole regular file, released by Unmap; a 0-byte file, which no system
// maps, gives a view of nothing (size 0) that Unmap ignores.
bool MapWhole(const std::string& path, const uint8_t*& data, uint64_t& size, std::string& problem);
void Unmap(const uint8_t* data, uint64_t size);

// The value of an environment variable, or false when it is not set.
bool Environment(const char* name, std::string& value);

// stubpack's own executable (symbolic links resolved on Linux); empty when the system cannot
// tell.
std::string SelfPath();

// The directory part of a path ("." for a bare name) and the last part; both separators on
// Windows.
std::string DirectoryOf(const std::string& path);
std::string BaseName(const std::string& path);
std::string Join(const std::string& directory, const std::string& name);

// The capital and the small letter of one UTF-16 unit beyond ASCII (not a surrogate), the unit
// itself when it has none, from the system's Unicode tables.
char16_t UpperCaseUnit(char16_t unit);
char16_t LowerCaseUnit(char16_t unit);

// Whether stderr is a terminal, for the progress line.
bool StderrIsTerminal();

// The installer being written: no other process sees it under the output's name until Commit,
// and a run killed before Commit leaves at most a scratch directory that the next run in the
// same directory removes. Begin creates the scratch directory beside `output` and the file:
// `name` (such as "unsigned.exe", for a signer) asks for a file with that name in the scratch
// directory at Path(); nullptr leaves it unnamed where the system can (O_TMPFILE), and on Windows
// names it "installer.exe", marked for deletion until Commit. One OutputFile at a time.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // removes the scratch directory and anything uncommitted
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Begin(const std::string& output, const char* name, std::string& problem);
  File& Data() { return file_; }
  // A path in the scratch directory, removed with it: "setup.cab", "unsigned.exe", "signed.exe"
  // or "installer.exe" (only these, so that an interrupt removes them without listing).
  std::string ScratchPath(const char* name) const;
  // The named file's path (after Begin with a name, or after Name()).
  const std::string& Path() const { return path_; }
  // Closes the file, whole: an unnamed one gets its scratch name, a delete-pending one loses the
  // mark. For a signer that rewrites it, and before Commit.
  bool Name(std::string& problem);
  // Makes `finished` (Path() or a scratch file) the output, replacing it in one step; executable
  // by those the umask lets read it on POSIX; written through on Windows.
  bool Commit(const std::string& finished, std::string& problem);
  // Whether the file is unnamed (O_TMPFILE) or delete-pending, for --verbose.
  std::string Describe() const;
  // The scratch directories of dead runs that Begin removed.
  const std::vector<std::string>& Removed() const { return removed_; }

 private:
  File file_;
  std::string output_, scratch_, path_;
  std::vector<std::string> removed_;
  intptr_t lock_ = -1;
  bool unnamed_ = false, delete_pending_ = false;
};

// Makes stdout and stderr carry the UTF-8 bytes the packer writes, unchanged, and a console
// show them; once, before anything is written.
void PrepareOutput();

// From now on a SIGINT, SIGTERM or SIGHUP (Ctrl+C, Ctrl+Break or closing the console on Windows)
// calls `stop_tool`, removes the scratch directory and ends the process as the signal would.
void OnInterrupt(void (*stop_tool)());

}  // namespace stubpack::sys
