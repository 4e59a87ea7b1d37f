// Structure walks of audio and video containers: each measures a candidate file to the byte by the
// sizes its own structure declares (frames, boxes, elements, tags, packets, chunks), and tells a
// chance header match or a broken-off file from a whole one (see file_bytes.h for the verdicts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/file_bytes.h"

namespace rexmoor::formats {

// MP3 and MP2: ID3v2 tags, MPEG audio frames, then APE, Lyrics3 and ID3v1 tags.
WalkResult MeasureMpegAudio(FileBytes& file, std::uint64_t limit);
// MP4, MOV, 3GP: the top-level boxes; a file needs its movie box.
WalkResult MeasureIsoMedia(FileBytes& file, std::uint64_t limit);
// HEIF stills and AVIF (the same boxes): a file needs its meta box; a second ftyp or meta begins
// the next file (a burst, or the movie of a live photo).
WalkResult MeasureHeif(FileBytes& file, std::uint64_t limit);
// JPEG XL in its box container: the signature box, ftyp, then boxes to the codestream (jxlc, or
// jxlp parts) and any metadata after it.
WalkResult MeasureJxlContainer(FileBytes& file, std::uint64_t limit);
// MKV, WebM: the EBML header and the Segment (its size, or its level-1 children when unknown).
WalkResult MeasureMatroska(FileBytes& file, std::uint64_t limit);
// FLV: header, then tags each followed by the previous-tag size.
WalkResult MeasureFlv(FileBytes& file, std::uint64_t limit);
// MPEG program stream (packs, system headers, PES packets) or a video elementary stream.
WalkResult MeasureMpegPs(FileBytes& file, std::uint64_t limit);
// Transport stream of 188-byte packets, or 192 (a 4-byte time stamp before each packet).
WalkResult MeasureTransportStream(FileBytes& file, std::uint64_t limit, unsigned packetSize);
// ASF (WMV, WMA): top-level objects, checked against the file-properties size.
WalkResult MeasureAsf(FileBytes& file, std::uint64_t limit);
// RealMedia: the chunks from .RMF on.
WalkResult MeasureRealMedia(FileBytes& file, std::uint64_t limit);
// MXF: KLV packets to the random index pack or the end of the footer partition.
WalkResult MeasureMxf(FileBytes& file, std::uint64_t limit);
// Standard MIDI file: MThd and as many track chunks as it declares.
WalkResult MeasureMidi(FileBytes& file, std::uint64_t limit);
// APE lossless audio: the descriptor's byte counts, then APE and ID3v1 tags.
WalkResult MeasureApe(FileBytes& file, std::uint64_t limit);
// SMAF (MMF): the MMMD chunk.
WalkResult MeasureMmf(FileBytes& file, std::uint64_t limit);

// FLAC: the metadata blocks, then frames each closed by its CRC-16, to the total sample count
// STREAMINFO declares (or, where it declares none, to the last frame another frame does not follow).
WalkResult MeasureFlac(FileBytes& file, std::uint64_t limit);
// Ogg: pages (each with its CRC) from the beginning-of-stream pages to the page that ends the last
// of those logical streams.
WalkResult MeasureOgg(FileBytes& file, std::uint64_t limit);
// AIFF, AIFF-C: the FORM chunk's big-endian chunks, each padded to an even length.
WalkResult MeasureAiff(FileBytes& file, std::uint64_t limit);

// AAC in ADTS frames: each header like the first, its length from the header, to the first header
// that is not one (then APE and ID3v1 tags). Fewer than three frames are a chance match.
WalkResult MeasureAdts(FileBytes& file, std::uint64_t limit);
// AMR and AMR-WB storage files: the magic line, then frames sized by their frame-type byte.
WalkResult MeasureAmr(FileBytes& file, std::uint64_t limit);
// Core Audio Format: desc, then 64-bit sized chunks; a data chunk "to the end" has no end to find.
WalkResult MeasureCaf(FileBytes& file, std::uint64_t limit);
// WavPack: blocks of one stream, block indexes running on without a gap, then APE and ID3v1 tags.
WalkResult MeasureWavPack(FileBytes& file, std::uint64_t limit);
// DSF: the DSD chunk's total size, checked against fmt, data and the metadata pointer.
WalkResult MeasureDsf(FileBytes& file, std::uint64_t limit);

// The fields of an ADTS frame header (7 bytes at p) that stay the same through a stream.
struct AdtsHeader {
  std::uint32_t fixed = 0;       // sync, version, layer, profile, rate, channels (the first 28 bits)
  std::uint32_t frameBytes = 0;  // the whole frame, header included
};
bool ParseAdtsHeader(const std::uint8_t* p, AdtsHeader* out);
// The size of the AMR frame (its frame-type byte included) that begins with `toc`, or 0 when the
// byte names no frame an encoder writes.
std::size_t AmrFrameBytes(std::uint8_t toc, bool wideband);

// The CRC of an Ogg page (its CRC field read as zeros): CRC-32, polynomial 0x04C11DB7, not reflected.
std::uint32_t OggPageCrc(std::span<const std::uint8_t> page);
// The length of the whole Ogg page at the start of bytes when it is all there and its CRC holds, else 0.
std::size_t CheckedOggPage(std::span<const std::uint8_t> bytes);

}  // namespace rexmoor::formats
