// A hostile local user against the system as it is deployed: every case
// runs its attack as an unprivileged uid (nobody, no groups) in the test's
// own mount namespace and checks that it takes no file, no memory, no other
// client's answer and no server it does not own. One case per way in.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

using HostileTest = PpsfsTest;

}  // namespace
}  // namespace ppsfs_test
