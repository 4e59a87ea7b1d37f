// libarchive, loaded when an archive or an office package is first previewed (it brings libxml2
// and ICU with it, which every other run of the programs can do without).
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include "platform/lazy_library.h"

namespace rexmoor {

REXMOOR_LAZY_LIBRARY(LibArchive, "libarchive.so.13")

REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_new);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_free);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_support_filter_all);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_support_format_all);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_support_format_raw);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_support_format_zip);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_open_filename);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_next_header);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_data);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_read_data_skip);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_filter_count);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_entry_pathname);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_entry_pathname_utf8);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_entry_size);
REXMOOR_LAZY_FUNCTION(LibArchive(), archive_entry_size_is_set);

// A reading handle, freed on every way out; null when libarchive cannot be loaded or has no memory.
struct ArchiveHandle {
  archive* handle = LibArchive().Load() ? archive_read_new() : nullptr;
  ArchiveHandle() = default;
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;
  ~ArchiveHandle() {
    if (handle != nullptr) archive_read_free(handle);
  }
};

}  // namespace rexmoor
