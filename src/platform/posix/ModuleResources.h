// The table of the program's resources, defined by a source that
// kestrix_module_resources() generates and links into each executable.
#pragma once

#include <cstddef>

struct ModuleResource {
  const char* type;
  const char* name;  // "#102" for the integer id 102
  const unsigned char* data;
  size_t size;
};

extern const ModuleResource kModuleResources[];
extern const size_t kModuleResourceCount;
