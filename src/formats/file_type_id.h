// Numbers of the file types that the carver recognises by content. They are stored in scan logs
// and compared by every engine, so the values never change; kTypeNone both means "not recognised"
// and marks the end of the format table.
#pragma once

#include <cstdint>

namespace rexmoor {

using FileTypeId = std::int32_t;

inline constexpr FileTypeId kTypeDoc = 0;    // compound document: Word
inline constexpr FileTypeId kTypeDocx = 1;   // package: Word
inline constexpr FileTypeId kTypeOle = 2;    // compound document of no known application
inline constexpr FileTypeId kTypeXls = 3;    // compound document: Excel
inline constexpr FileTypeId kTypeXlsx = 4;   // package: Excel
inline constexpr FileTypeId kTypePpt = 5;    // compound document: PowerPoint
inline constexpr FileTypeId kTypePptx = 6;   // package: PowerPoint
inline constexpr FileTypeId kTypeMso07 = 7;  // package of no known application (never produced)
inline constexpr FileTypeId kTypePdf = 8;
inline constexpr FileTypeId kTypeGho = 9;    // disk-image backup (recognised, not carved)
inline constexpr FileTypeId kTypeJpg = 10;
inline constexpr FileTypeId kTypeMp2 = 11;
inline constexpr FileTypeId kTypeMp3 = 12;
inline constexpr FileTypeId kTypeMid = 13;
inline constexpr FileTypeId kTypeMmf = 14;
inline constexpr FileTypeId kTypeMpeg = 15;  // MPEG program stream
inline constexpr FileTypeId kType3gp = 16;
inline constexpr FileTypeId kTypeMov = 17;
inline constexpr FileTypeId kTypeMp4 = 18;
inline constexpr FileTypeId kTypeMkv = 19;
inline constexpr FileTypeId kTypeTs = 20;    // MPEG transport stream, 188-byte packets
inline constexpr FileTypeId kTypeWav = 21;
inline constexpr FileTypeId kTypeAvi = 22;
inline constexpr FileTypeId kTypeRmvb = 23;  // RealMedia
inline constexpr FileTypeId kTypeWmv = 24;   // ASF container (wmv, asf, wma)
inline constexpr FileTypeId kTypeApe = 25;
inline constexpr FileTypeId kTypeSwf = 26;
inline constexpr FileTypeId kTypeFlv = 27;
inline constexpr FileTypeId kTypePsd = 28;
inline constexpr FileTypeId kTypeBmp = 29;
inline constexpr FileTypeId kTypePng = 30;
inline constexpr FileTypeId kTypeGif = 31;
inline constexpr FileTypeId kTypeTif = 32;
inline constexpr FileTypeId kTypeCab = 33;
inline constexpr FileTypeId kType7z = 34;
inline constexpr FileTypeId kTypeZip = 35;
inline constexpr FileTypeId kTypeGz = 36;
inline constexpr FileTypeId kTypeRar = 37;
inline constexpr FileTypeId kTypePst = 38;
inline constexpr FileTypeId kTypeDb = 39;    // SQLite
inline constexpr FileTypeId kTypeDbx = 40;
inline constexpr FileTypeId kTypeExe = 41;   // PE image (recognised, not carved)
inline constexpr FileTypeId kTypeDll = 42;   // PE image (recognised, not carved)
inline constexpr FileTypeId kTypeSys = 43;   // PE image (recognised, not carved)
inline constexpr FileTypeId kTypeFla = 44;   // compound-file signature without the full magic
inline constexpr FileTypeId kTypeTtf = 45;
inline constexpr FileTypeId kTypeIco = 46;
inline constexpr FileTypeId kTypeMts = 47;   // transport stream with 192-byte packets (camcorders)
inline constexpr FileTypeId kTypeMxf = 48;
inline constexpr FileTypeId kTypeNone = 49;
// Plain text, typed by its content (ids after kTypeNone, so that every earlier id stays).
inline constexpr FileTypeId kTypeTxt = 50;
inline constexpr FileTypeId kTypeHtml = 51;
inline constexpr FileTypeId kTypeXml = 52;
inline constexpr FileTypeId kTypeJson = 53;
inline constexpr FileTypeId kTypeCsv = 54;
inline constexpr FileTypeId kTypeEml = 55;
inline constexpr FileTypeId kTypeC = 56;   // C or C++ source
inline constexpr FileTypeId kTypePy = 57;  // Python script
inline constexpr FileTypeId kTypeSh = 58;  // shell script
// Camera raw files. The TIFF-based ones are claimed by the TIFF test, CR3 by the ISO-media test.
inline constexpr FileTypeId kTypeCr2 = 59;
inline constexpr FileTypeId kTypeNef = 60;  // nef, nrw
inline constexpr FileTypeId kTypeArw = 61;  // arw, sr2, srf
inline constexpr FileTypeId kTypeDng = 62;
inline constexpr FileTypeId kTypeOrf = 63;
inline constexpr FileTypeId kTypeRw2 = 64;
inline constexpr FileTypeId kTypePef = 65;
inline constexpr FileTypeId kTypeSrw = 66;
inline constexpr FileTypeId kTypeCr3 = 67;
inline constexpr FileTypeId kTypeRaf = 68;

// Modern pictures.
inline constexpr FileTypeId kTypeWebp = 69;
inline constexpr FileTypeId kTypeHeic = 70;  // HEIF stills of any codec but AV1 (heic, heif)
inline constexpr FileTypeId kTypeAvif = 71;
inline constexpr FileTypeId kTypeJxl = 72;   // JPEG XL: bare codestream or box container

// Modern audio and video (after the text ids, so that every earlier id stays).
inline constexpr FileTypeId kTypeFlac = 73;
inline constexpr FileTypeId kTypeOgg = 74;   // Ogg stream: Vorbis, FLAC, Theora or another codec
inline constexpr FileTypeId kTypeOpus = 75;  // Ogg stream whose first packet is Opus
inline constexpr FileTypeId kTypeM4a = 76;   // ISO media with an audio brand (M4A, M4B)
inline constexpr FileTypeId kTypeAiff = 77;  // AIFF and AIFF-C
inline constexpr FileTypeId kTypeWebm = 78;  // Matroska with DocType "webm"

// More audio and video.
inline constexpr FileTypeId kTypeAac = 79;  // AAC in ADTS frames
inline constexpr FileTypeId kTypeAmr = 80;  // AMR and AMR-WB
inline constexpr FileTypeId kTypeCaf = 81;
inline constexpr FileTypeId kTypeWv = 82;   // WavPack
inline constexpr FileTypeId kTypeDsf = 83;
inline constexpr FileTypeId kTypeM4v = 84;  // ISO media with an M4V brand

// The other camera raws: three with headers of their own, the rest typed by the TIFF test.
inline constexpr FileTypeId kTypeCrw = 85;  // Canon CIFF heap
inline constexpr FileTypeId kTypeMrw = 86;  // Minolta MRM blocks
inline constexpr FileTypeId kTypeX3f = 87;  // Sigma/Foveon
inline constexpr FileTypeId kTypeErf = 88;  // Epson
inline constexpr FileTypeId kType3fr = 89;  // Hasselblad
inline constexpr FileTypeId kTypeKdc = 90;  // Kodak consumer cameras
inline constexpr FileTypeId kTypeDcr = 91;  // Kodak professional (DCS) cameras
inline constexpr FileTypeId kTypeMef = 92;  // Mamiya
inline constexpr FileTypeId kTypeMos = 93;  // Leaf
inline constexpr FileTypeId kTypeIiq = 94;  // Phase One

// Documents and personal data. The zip packages are typed by their stored "mimetype" entry.
inline constexpr FileTypeId kTypeOdt = 95;
inline constexpr FileTypeId kTypeOds = 96;
inline constexpr FileTypeId kTypeOdp = 97;
inline constexpr FileTypeId kTypeOdg = 98;
inline constexpr FileTypeId kTypeEpub = 99;
inline constexpr FileTypeId kTypeRtf = 100;
// Text typed by its content, like kTypeTxt .. kTypeSh. A binary plist has its own test; an XML
// one is told by the text classifier.
inline constexpr FileTypeId kTypeMbox = 101;
inline constexpr FileTypeId kTypeVcf = 102;
inline constexpr FileTypeId kTypeIcs = 103;
inline constexpr FileTypeId kTypePlist = 104;
inline constexpr FileTypeId kTypeSvg = 105;

// Ids run from 0 to kFileTypeCount - 1; kTypeNone among them names no type.
inline constexpr int kFileTypeCount = kTypeSvg + 1;

inline constexpr bool IsTextType(FileTypeId id) {
  return (id >= kTypeTxt && id <= kTypeSh) || (id >= kTypeMbox && id <= kTypeSvg);
}

}  // namespace rexmoor
