// The five file-type lists used to classify found files by extension. A type test looks for
// "*." + extension inside a list, so it is a substring test: "jp" matches the picture list.
#pragma once

#include <string>
#include <string_view>

namespace rexmoor {

inline constexpr std::string_view kPictureList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|"
    "*.sr2|*.arw|*.srf|*.divu|*.djvu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.rw2|*.srw|*.cr3|*.webp|*.heic|*.heif|*.avif|*.jxl|*.3fr|*.iiq|"
    "*.svg";

inline constexpr std::string_view kAudioList =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.flac|*.oga|*.opus|*.aif|*.aifc|*.aac|*.awb|*.wv|*.dsf";

inline constexpr std::string_view kDocumentList =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|*.html|"
    "*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.odp|*.odg|*.epub|*.rtf|*.mbox|*.vcf|*.ics";

inline constexpr std::string_view kVideoList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|"
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|"
    "*.mxf|*.lrv|*.ogv|*.webm";

inline constexpr std::string_view kArchiveList =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

// The five lists joined by "|" in the order pictures, audio, documents, video, archives; the
// "other" filter treats any extension not found in here as unknown.
const std::string& KnownExtensions();

// True when "*." + the lower-cased extension occurs in the list. An empty extension (no dot, or
// a name ending in one) is in no list.
// An extension that some list names in full is in that list only ("avi" is no picture, although
// "*.avif" begins with it).
bool ListHasExtension(std::string_view list, std::string_view extension);
// True when "*." + the lower-cased extension is a whole item of the list.
bool ListHasWholeExtension(std::string_view list, std::string_view extension);
bool IsPictureExtension(std::string_view extension);
bool IsAudioExtension(std::string_view extension);
bool IsDocumentExtension(std::string_view extension);
bool IsVideoExtension(std::string_view extension);
bool IsArchiveExtension(std::string_view extension);

// Text after the last '.' of a name, or empty when there is none.
std::string_view ExtensionOf(std::string_view name);

}  // namespace rexmoor
