// The serial devices discovery tries on POSIX systems.
#include "link/port_names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Sets or clears OMR_SERIAL_PORTS for one test and restores it afterwards.
class SerialPortsVariable {
 public:
  explicit SerialPortsVariable(const char* value) {
    if (const char* old = std::getenv("OMR_SERIAL_PORTS")) saved_ = old, hadValue_ = true;
    if (value)
      setenv("OMR_SERIAL_PORTS", value, 1);
    else
      unsetenv("OMR_SERIAL_PORTS");
  }
  ~SerialPortsVariable() {
    if (hadValue_)
      setenv("OMR_SERIAL_PORTS", saved_.c_str(), 1);
    else
      unsetenv("OMR_SERIAL_PORTS");
  }

 private:
  std::string saved_;
  bool hadValue_ = false;
};

std::vector<std::string> Candidates() {
  std::vector<std::string> names;
  const int count = omr::SerialCandidateCount();
  for (int i = 0; i < count; ++i) {
    char name[128];
    if (omr::SerialCandidateName(i, name, sizeof name)) names.emplace_back(name);
  }
  return names;
}

TEST(SerialCandidates, VariableReplacesTheBuiltInListInOrder) {
  SerialPortsVariable env("/tmp/omr-a:/dev/does-not-exist::/tmp/omr-b");
  EXPECT_EQ(omr::SerialCandidateCount(), 4);
  // Listed names are tried whether or not they exist; empty fields are skipped.
  EXPECT_EQ(Candidates(), (std::vector<std::string>{"/tmp/omr-a", "/dev/does-not-exist", "/tmp/omr-b"}));
}

TEST(SerialCandidates, NameThatDoesNotFitIsSkippedWithoutWriting) {
  SerialPortsVariable env("/dev/a-rather-long-device-name:/x");
  char out[8];
  std::memset(out, 'z', sizeof out);
  EXPECT_FALSE(omr::SerialCandidateName(0, out, sizeof out));
  EXPECT_EQ(out[0], 'z');
  EXPECT_TRUE(omr::SerialCandidateName(1, out, 3));
  EXPECT_STREQ(out, "/x");
  EXPECT_FALSE(omr::SerialCandidateName(1, out, 2));  // "/x" and its zero need 3 bytes
  EXPECT_FALSE(omr::SerialCandidateName(2, out, sizeof out));
  EXPECT_FALSE(omr::SerialCandidateName(-1, out, sizeof out));
  EXPECT_FALSE(omr::SerialCandidateName(0, nullptr, 8));
  EXPECT_FALSE(omr::SerialCandidateName(1, out, 0));
}

TEST(SerialCandidates, BuiltInListHoldsOnlyExistingDevicesInItsOrder) {
  SerialPortsVariable env(nullptr);
  EXPECT_EQ(omr::SerialCandidateCount(), 64);
  std::vector<std::string> expected;
  for (const char* prefix : {"/dev/ttyUSB", "/dev/ttyACM"})
    for (int i = 0; i < 16; ++i) expected.push_back(prefix + std::to_string(i));
  for (int i = 0; i < 32; ++i) expected.push_back("/dev/ttyS" + std::to_string(i));
  std::vector<std::string> existing;
  for (const std::string& name : expected) {
    struct stat st;
    if (stat(name.c_str(), &st) == 0) existing.push_back(name);
  }
  EXPECT_EQ(Candidates(), existing);
}

}  // namespace
