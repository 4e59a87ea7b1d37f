// Where a found file goes when the user previews it. Documents and archives are written under
// their own name, audio and video to "tmp.avi", pictures to "tmp.jpg", all in a private folder of
// this process below the scan-log folder of the per-user data folder, for the viewers to open; any other file is copied, as far as it
// fits, into the caller's memory buffer. Every engine's ExtractForPreview goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/file_recovery_parse.h"
#include "engine/found_file_record.h"
#include "platform/file_handle.h"
#include "platform/result_codes.h"

namespace rexmoor {

// Extensions are looked up as the substring "." + extension (lower case) of these lists, so a
// prefix of a listed extension matches too.
inline constexpr std::string_view kPreviewDocumentList =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|"
    "*.odp|*.odg|*.xls|*.xlsx|*.xlsm|*.ods|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg|*.epub|*.zip|*.rar|"
    "*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
inline constexpr std::string_view kPreviewAudioList =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|*.at3|"
    "*.caf|*.dss|*.m4r|*.nra|*.snd|*.flac|*.oga|*.opus|*.aif|*.aifc|*.aac|*.awb|*.wv|*.dsf";
inline constexpr std::string_view kPreviewVideoList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|*.mkv|"
    "*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.mxf|*.lrv|*.ogv|*.webm";
inline constexpr std::string_view kPreviewPictureList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|"
    "*.arw|*.srf|*.divu|*.djvu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|"
    "*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.rw2|*.srw|*.cr3|*.webp|*.heic|*.heif|*.avif|*.jxl|*.3fr|*.iiq";

inline constexpr const char* kPreviewMediaName = "tmp.avi";
inline constexpr const char* kPreviewPictureName = "tmp.jpg";
// Target paths this long (in UTF-16 units) or longer are not used; the data goes to memory.
inline constexpr std::size_t kPreviewMaxPathUnits = 260;
// Clusters larger than this are not read for a preview (nor written out).
inline constexpr std::uint64_t kMaxCopyClusterBytes = 104857600;

enum class PreviewTargetKind { Memory, Document, Media, Picture };

// Which list the name's extension (text from its last '.') falls in. Audio, video and pictures
// win over documents; names without an extension go to memory.
PreviewTargetKind PreviewTargetKindOf(std::string_view name);
// UserDataDir() + "/Rexmoor Pro/ScanLog/Preview.<pid>/": one folder per process, so that a
// process killed in the middle of a preview leaves files that the next one can tell apart.
std::string PreviewFolder();
// Creates this process's preview folder (mode 0700) when it is missing.
Result MakePreviewFolder();
// Removes the preview folders of processes that no longer run, with the copies of found files a
// killed preview left in them.
void RemoveStalePreviewFolders();
// The temporary file for a record name, or empty when its data goes to memory. A document keeps
// its own (sanitised) name.
std::string PreviewTargetPath(std::string_view recordName);

// The receiving end of one preview extraction: a fresh temporary file or the caller's memory
// buffer, with the progress reports and the clean-up of a failed extraction.
class PreviewSink {
 public:
  PreviewSink() = default;
  ~PreviewSink();
  PreviewSink(const PreviewSink&) = delete;
  PreviewSink& operator=(const PreviewSink&) = delete;

  // Chooses the target for the record (outPath gets the file's path, or is cleared), replaces
  // an old file of that name, and works out how many bytes are wanted: the whole file for a
  // target file, else at most *byteCount. byteCount must be given; buffer too when bytes go to
  // memory.
  Result Begin(const FoundFileRecord& record, std::string& outPath, std::uint8_t* buffer, std::uint32_t* byteCount,
               PreviewProgressCallback callback, void* userData);
  std::uint64_t BytesWanted() const { return wanted_; }
  std::uint64_t BytesDone() const { return done_; }
  bool Complete() const { return done_ >= wanted_; }
  // Takes the next piece (only what is still wanted of it) and reports progress; returns the
  // write error or a non-zero callback verdict.
  Result Put(const std::uint8_t* data, std::size_t length);
  // Reports the end of an empty extraction (percent 100).
  Result ReportEmpty();
  // Ends the extraction with its result: a failed one removes the temporary file. Sets the
  // caller's byte count (bytes copied to memory, 0 for a file) and returns result.
  Result Finish(Result result);

 private:
  FileHandle file_;
  std::string path_;
  std::uint8_t* buffer_ = nullptr;
  std::uint32_t* byteCount_ = nullptr;
  PreviewProgressCallback callback_ = nullptr;
  void* userData_ = nullptr;
  std::uint64_t wanted_ = 0;
  std::uint64_t done_ = 0;
  bool finished_ = true;
};

}  // namespace rexmoor
