#include "cli/terminal_progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"

namespace rexmoor::cli {

TerminalProgress::TerminalProgress(bool quiet) : tty_(::isatty(STDERR_FILENO) == 1), quiet_(quiet) {}

TerminalProgress::~TerminalProgress() { Finish(); }

void TerminalProgress::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tty_ && drawn_) std::fputs("\r\033[K", stderr);
  drawn_ = false;
}

void TerminalProgress::SetStage(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stage_ = text;
    percent_ = 0;
    counters_.clear();
    time_.clear();
  }
  Draw(true);
}

void TerminalProgress::SetProgressBar(std::int32_t percent) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    percent_ = std::clamp(percent, 0, 100);
  }
  Draw(false);
}

void TerminalProgress::Store(std::string& field, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  field = text;
}

void TerminalProgress::SetTime(const std::string& text) { Store(time_, text); }

void TerminalProgress::SetSectors(const std::string& text) { Store(counters_, text); }

void TerminalProgress::SetTotalFiles(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!counters_.empty()) counters_ += ", ";
  counters_ += text;
}

void TerminalProgress::ShowCounters(bool visible) {
  if (visible) return;
  std::lock_guard<std::mutex> lock(mutex_);
  counters_.clear();
}

void TerminalProgress::SetCurrent(const std::string& path) { Store(time_, path); }

void TerminalProgress::SetCounts(const std::string& text) { Store(counters_, text); }

void TerminalProgress::Draw(bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (quiet_) return;
  const std::uint32_t now = TickCountMs();
  if (tty_) {
    if (!force && drawn_ && now - lastDraw_ < 100 && percent_ != 100) return;
    constexpr int kWidth = 30;
    const int filled = percent_ * kWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '-');
    std::string line = "[" + bar + "] " + std::to_string(percent_) + "% " + stage_;
    if (!counters_.empty()) line += "  " + counters_;
    if (!time_.empty()) line += "  " + time_;
    if (line.size() > 150) line.resize(150);
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
    lastDraw_ = now;
    return;
  }
  // Plain lines: the stage, then a line at most every 2 seconds or every 10 percent.
  if (!force && percent_ - lastPlainPercent_ < 10 && now - lastDraw_ < 2000) return;
  if (!force && percent_ == lastPlainPercent_) return;
  std::fprintf(stderr, "%s: %d%%%s%s%s%s\n", stage_.c_str(), percent_, counters_.empty() ? "" : "  ", counters_.c_str(),
               time_.empty() ? "" : "  ", time_.c_str());
  lastPlainPercent_ = percent_;
  lastDraw_ = now;
}

}  // namespace rexmoor::cli
