// The set-up every unit test runs in, once for the whole binary: the
// socket layer started as the relay starts it, and a state folder of the
// test run's own, so that the seed files and locks the tests make never
// land in the machine's state folder that a running relay uses.
#include "platform/statedir.h"
#include "unit/unitutil.h"

namespace ut {

uint16_t netgranted = 0;

namespace {

class UnitEnvironment : public testing::Environment {
  void SetUp() override {
    state_usedir(testdir().c_str());
    net_startup(2, 2, &netgranted);
  }
  void TearDown() override {
    net_cleanup();
    state_usedir(nullptr);
  }
};

testing::Environment* const environment = testing::AddGlobalTestEnvironment(new UnitEnvironment);

}   // namespace

}   // namespace ut
