// Every end-to-end suite runs itself again in private namespaces first, when it may.

#include <gtest/gtest.h>

#include "support/PrivateNamespaces.h"

int main(int argc, char** argv) {
  brindlet::testsupport::reexecInPrivateNamespaces(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
