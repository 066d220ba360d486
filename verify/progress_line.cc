#include "verify/progress_line.h"

#include <cstdio>

#include "platform/console.h"

ProgressLine::ProgressLine(bool enabled, size_t total)
    : enabled_(enabled), total_(total), start_(Clock::now()), lastDrawn_(start_) {}

void ProgressLine::Erase() {
  if (!shown_) return;
  // Back to the start of the line, then clear it.
  platform::WriteToStandardError("\r\033[K");
  shown_ = false;
}

void ProgressLine::Update(size_t done) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  // The first file done draws the line at once; later ones at most ten
  // times a second.
  if (done < total_ && drawnOnce_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
  drawnOnce_ = true;
  lastDrawn_ = now;
  Erase();
  if (done >= total_) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  platform::WriteToStandardError(Text(done, total_, seconds));
  shown_ = true;
}

std::string ProgressLine::Text(size_t done, size_t total, double seconds) {
  char text[96];
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::snprintf(text, sizeof text, "%zu/%zu files, %.0f files/s", done, total, rate);
  return text;
}
