#include "platform/Resources.h"

#include "platform/ModuleResources.h"

bool FindModuleResource(const std::string& type, const std::string& name, const unsigned char** data, size_t* size) {
  for (size_t i = 0; i < kModuleResourceCount; ++i) {
    const ModuleResource& r = kModuleResources[i];
    if (type == r.type && name == r.name) {
      *data = r.data;
      *size = r.size;
      return true;
    }
  }
  *data = nullptr;
  *size = 0;
  return false;
}
