#include <gtest/gtest.h>

#include "Manifest.h"

namespace {

TEST(ExtensionIds, FirefoxTakesEmailStyleAndBracedGuidIdsOnly) {
  using installer::IsFirefoxExtensionId;
  EXPECT_TRUE(IsFirefoxExtensionId("kestrix@kestrix-host"));
  EXPECT_TRUE(IsFirefoxExtensionId("me+x@example.org"));
  EXPECT_TRUE(IsFirefoxExtensionId("@example"));
  EXPECT_TRUE(IsFirefoxExtensionId("{5e0a7c21-9b3d-4f18-a6c4-2d91e07b3f58}"));
  EXPECT_FALSE(IsFirefoxExtensionId("no spaces allowed"));
  EXPECT_FALSE(IsFirefoxExtensionId("me@"));
  EXPECT_FALSE(IsFirefoxExtensionId("a@b@c"));
  EXPECT_FALSE(IsFirefoxExtensionId("me@exa+mple"));
  EXPECT_FALSE(IsFirefoxExtensionId("{5e0a7c21-9b3d-4f18-a6c4-2d91e07b3f5}"));
  EXPECT_FALSE(IsFirefoxExtensionId("{5e0a7c21x9b3d-4f18-a6c4-2d91e07b3f58}"));
  EXPECT_FALSE(IsFirefoxExtensionId("5e0a7c21-9b3d-4f18-a6c4-2d91e07b3f58"));
  EXPECT_FALSE(IsFirefoxExtensionId(""));
}

}  // namespace
