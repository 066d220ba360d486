// The line on a terminal's standard error that shows how far a run is.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class ProgressLine {
 public:
  // Shown only when `enabled` (standard error is a terminal and the run has
  // more than a screenful of files).
  ProgressLine(bool enabled, size_t total);

  // Call before writing a line to standard output: erases the progress line.
  void Erase();
  // Call after a file is done: draws it for the first file, then at most
  // ten times a second.
  void Update(size_t done);

  // "done/total files, rate files/s", without any control characters.
  static std::string Text(size_t done, size_t total, double seconds);

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  bool drawnOnce_ = false;
  size_t total_;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
};
