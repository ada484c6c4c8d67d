#include "tools/common/progress.h"

#include <unistd.h>

#include <cstdio>

namespace gxpolicy {
namespace {

std::string amount(double n, ProgressBar::Unit unit) {
  char buf[32];
  if (unit == ProgressBar::Unit::bytes) std::snprintf(buf, sizeof buf, "%.1f MB", n / 1e6);
  else std::snprintf(buf, sizeof buf, "%.0f", n);
  return buf;
}

}  // namespace

ProgressBar::ProgressBar() : tty_(isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::update(std::string const& label, unsigned long done, unsigned long total, Unit unit) {
  if (!tty_) return;
  Clock::time_point now = Clock::now();
  if (label != label_) {
    label_ = label;
    started_ = now;
  } else if (now - lastDraw_ < std::chrono::milliseconds(100) && done < total) {
    return;
  }
  lastDraw_ = now;
  constexpr int width = 30;
  double fraction = total == 0 ? 0 : static_cast<double>(done) / static_cast<double>(total);
  if (fraction > 1) fraction = 1;
  std::string bar(static_cast<std::size_t>(fraction * width), '#');
  bar.resize(width, '.');
  double seconds = std::chrono::duration<double>(now - started_).count();
  std::string rate = seconds > 0 ? amount(static_cast<double>(done) / seconds, unit) + "/s" : "";
  std::fprintf(stderr, "\r%s [%s] %s/%s %3.0f%% %s\033[K", label_.c_str(), bar.c_str(),
               amount(static_cast<double>(done), unit).c_str(), amount(static_cast<double>(total), unit).c_str(),
               fraction * 100, rate.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::clear() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace gxpolicy
