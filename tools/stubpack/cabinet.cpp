#include "tools/stubpack/cabinet.h"

#include <ctime>

#include <libgcab.h>

#include <memory>

#include "core/payload_layout.h"
#include "tools/stubpack/bytes.h"

namespace stubpack {

namespace {

template <typename T>
struct Unref {
  void operator()(T* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, Unref<T>>;

std::string Take(GError* error) {
  std::string text = error != nullptr ? error->message : "unknown error";
  if (error != nullptr) g_error_free(error);
  return text;
}

}  // namespace

DosDateTime DosDateTimeFromUnix(int64_t seconds) {
  constexpr int64_t kFirst = 315532800;  // 1980-01-01 00:00:00 UTC
  constexpr int64_t kLast = 4354819198;  // 2107-12-31 23:59:58 UTC
  if (seconds < kFirst) seconds = kFirst;
  if (seconds > kLast) seconds = kLast;
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  gmtime_r(&t, &utc);
  DosDateTime dos;
  dos.date = static_cast<uint16_t>((utc.tm_year - 80) << 9 | (utc.tm_mon + 1) << 5 | utc.tm_mday);
  dos.time = static_cast<uint16_t>(utc.tm_hour << 11 | utc.tm_min << 5 | utc.tm_sec / 2);
  return dos;
}

bool WriteSetupCabinet(const std::string& setup_path, const std::string& cabinet_path,
                       int64_t seconds, std::string& problem) {
  GError* error = nullptr;
  GPtr<GCabCabinet> cabinet(gcab_cabinet_new());
  GPtr<GCabFolder> folder(gcab_folder_new(GCAB_COMPRESSION_MSZIP));
  GPtr<GFile> input(g_file_new_for_path(setup_path.c_str()));
  // The stub expands the first file whatever its name; it is named after the file it becomes.
  GPtr<GCabFile> file(gcab_file_new_with_file(payload_layout::kSetupFileName, input.get()));
  if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, &error)) {
    problem = "cannot add setup to the cabinet: " + Take(error);
    return false;
  }
  // Set after adding: adding reads the file's own time and attributes. The gcab tool would
  // leave the archive bit; the stub copies attributes onto setup.exe, so none are stored.
  const DosDateTime dos = DosDateTimeFromUnix(seconds);
  GDateTime* when =
      g_date_time_new_utc(1980 + (dos.date >> 9), (dos.date >> 5) & 0xF, dos.date & 0x1F,
                          dos.time >> 11, (dos.time >> 5) & 0x3F, (dos.time & 0x1F) * 2);
  gcab_file_set_date_time(file.get(), when);
  g_date_time_unref(when);
  gcab_file_set_attributes(file.get(), 0);
  if (!gcab_cabinet_add_folder(cabinet.get(), folder.get(), &error)) {
    problem = "cannot make the cabinet: " + Take(error);
    return false;
  }
  GPtr<GFile> output(g_file_new_for_path(cabinet_path.c_str()));
  GPtr<GFileOutputStream> stream(
      g_file_replace(output.get(), nullptr, FALSE, G_FILE_CREATE_PRIVATE, nullptr, &error));
  if (!stream) {
    problem = "cannot create the cabinet: " + Take(error);
    return false;
  }
  if (!gcab_cabinet_write_simple(cabinet.get(), G_OUTPUT_STREAM(stream.get()), nullptr, nullptr,
                                 nullptr, &error)) {
    problem = "cannot write the cabinet: " + Take(error);
    g_output_stream_close(G_OUTPUT_STREAM(stream.get()), nullptr, nullptr);
    return false;
  }
  if (!g_output_stream_close(G_OUTPUT_STREAM(stream.get()), nullptr, &error)) {
    problem = "cannot write the cabinet: " + Take(error);
    return false;
  }
  return true;
}

}  // namespace stubpack
