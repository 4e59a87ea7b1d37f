#include "cli/terminal_progress.h"

#include <sys/ioctl.h>
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
  // The scan's own figures do not carry over to the job that follows it.
  elapsed_.clear();
  speed_.clear();
}

void TerminalProgress::SetStage(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stage_ = text;
    percent_ = 0;
    counters_.clear();
    time_.clear();
    elapsed_.clear();
    speed_.clear();
    drawnByCounters_ = false;
  }
  Draw(true);
}

void TerminalProgress::SetProgressBar(std::int32_t percent) {
  bool draw = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    percent_ = std::clamp(percent, 0, 100);
    draw = !drawnByCounters_;
  }
  if (draw) Draw(false);
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

void TerminalProgress::SetElapsed(const std::string& text) { Store(elapsed_, text); }

void TerminalProgress::SetSpeed(const std::string& text) { Store(speed_, text); }

void TerminalProgress::ShowCounters(bool visible) {
  // The last call of every scan report: the line is drawn again with all of its figures.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!visible) {
      counters_.clear();
      speed_.clear();
    }
    drawnByCounters_ = true;
  }
  Draw(false);
}

void TerminalProgress::SetCurrent(const std::string& path) { Store(time_, path); }

void TerminalProgress::SetCounts(const std::string& text) { Store(counters_, text); }

void TerminalProgress::Draw(bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (quiet_) return;
  const std::uint32_t now = TickCountMs();
  // The scan's figures in reading order: what was done, how fast, how long it took, what is left.
  std::string figures = counters_;
  for (const std::string* part : {&speed_, &elapsed_, &time_}) {
    if (part->empty()) continue;
    if (!figures.empty()) figures += "  ";
    figures += *part;
  }
  if (tty_) {
    if (!force && drawn_ && now - lastDraw_ < 100 && percent_ != 100) return;
    constexpr int kWidth = 30;
    const int filled = percent_ * kWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '-');
    // The figures first and the stage (which names the source) last, so that a narrow terminal
    // cuts the name rather than the figures.
    std::string line = "[" + bar + "] " + std::to_string(percent_) + "%";
    if (!figures.empty()) line += "  " + figures;
    line += "  " + stage_;
    winsize size{};
    const std::size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col - 1 : 150;
    if (line.size() > width) {
      // Cut on a character boundary: names are UTF-8.
      std::size_t cut = width;
      while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
      line.resize(cut);
    }
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
    lastDraw_ = now;
    return;
  }
  // Plain lines: the stage, then a line at most every 2 seconds or every 10 percent.
  if (!force && percent_ - lastPlainPercent_ < 10 && now - lastDraw_ < 2000) return;
  if (!force && percent_ == lastPlainPercent_) return;
  std::fprintf(stderr, "%s: %d%%%s%s\n", stage_.c_str(), percent_, figures.empty() ? "" : "  ", figures.c_str());
  lastPlainPercent_ = percent_;
  lastDraw_ = now;
}

}  // namespace rexmoor::cli
