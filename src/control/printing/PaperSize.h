// Paper sizes as a job names them: "A4", "Letter", "iso_a4_210x297mm",
// "na_letter_8.5x11in", "100x150mm", "4x6in", or {"width": mm, "height": mm}.
#pragma once

#include <json/json.h>

#include <string>

struct Paper {
  std::string name;  // the PWG self-describing name CUPS takes as "media"
  double widthMm = 0;
  double heightMm = 0;
};

// False with a message for a size it cannot read.
bool LookupPaper(const Json::Value& paperValue, Paper* paper, std::string* error);
