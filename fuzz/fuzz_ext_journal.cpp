#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "formats/ext_journal.h"

// A journal in memory. The first byte chooses the block size (1, 2 or 4 KiB), the rest are the
// journal's blocks in order. Every copy the index gives must lie inside the journal, and the
// queries over it must stay inside their blocks.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t blockSize = 1024u << (data[0] % 3);
  const std::span<const std::uint8_t> journal(data + 1, size - 1);
  const std::uint64_t count = journal.size() / blockSize;
  const rexmoor::JournalBlockReader read = [&](std::uint64_t k, std::span<std::uint8_t> out) {
    if (k >= count || out.size() != blockSize) return false;
    std::memcpy(out.data(), journal.data() + k * blockSize, blockSize);
    return true;
  };
  const auto index = rexmoor::BuildJournalIndex(read, count, blockSize);
  if (!index) return 0;
  if (index->transactions().size() > count) __builtin_trap();
  std::size_t queried = 0;
  for (const auto& [fsBlock, copies] : index->blocks()) {
    for (const rexmoor::JournalCopy& copy : copies)
      if (copy.journalBlock >= count || copy.journalBlock < index->superblock().first) __builtin_trap();
    if (++queried > 8) continue;
    for (std::uint32_t offset : {0u, 128u, blockSize - 256u, blockSize}) {
      if (auto inode = rexmoor::FindJournalInodeCopy(*index, read, fsBlock, offset, 256, 0)) {
        if (inode->inode.size() != 256 || !rexmoor::InodeMapsData(inode->inode)) __builtin_trap();
      }
    }
    for (const auto& c : rexmoor::JournalBlockCopies(*index, read, fsBlock, 4))
      if (c.bytes.size() != blockSize) __builtin_trap();
  }
  return 0;
}
