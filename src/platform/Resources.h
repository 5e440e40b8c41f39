// Resources carried inside the program's own module: on Windows real module
// resources (FindResourceW and its kin), elsewhere a table the program's
// executable is linked with. Both are built by kestrix_module_resources()
// (the platform's CMakeLists.txt).
#pragma once

#include <cstddef>
#include <string>

// The bytes of the resource of the given type and name ("#102" names the
// integer id 102) and their count; false, with null and 0, when there is
// none. The bytes live as long as the program and hold no added NUL.
bool FindModuleResource(const std::string& type, const std::string& name, const unsigned char** data, size_t* size);
