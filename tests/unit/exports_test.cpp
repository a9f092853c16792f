// Loads the built shared library the way an application does and checks its
// exported interface.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

const std::set<std::string> kExports = {
    "MR_Installed",   "MR_Close",     "CloseCom",        "MR_GetDeviceName", "MR_GetDeviceNum",
    "MR_GetType",     "MR_CheckAbility", "MR_LoadForm",  "MR_AddFormLine",   "MR_Clear",
    "MR_Read",        "MR_ReadNoWait", "MR_ReadWithLine", "MR_IsReading",    "MR_StopRead",
    "MR_StartMotor",  "MR_StopMotor", "MR_PassSheet",    "MR_GetResult",     "MR_GetBarcodeString",
    "MR_GetLastError", "MR_GetErrMsg", "MR_GetErrMsgEn", "MR_SysCmd",        "MR_GetSerial",
    "MR_ReadTotal",   "MR_SaveConfig", "MR_GetPara",     "MR_SetPara",       "OmrS",
    "OmrG",           "OmrVer"};

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = dlopen(OMR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle) dlclose(handle);
  }
  template <typename F>
  F Get(const char* name) {
    void* p = dlsym(handle, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F>(p);
  }
  void* handle = nullptr;
};

TEST_F(Library, ExportsExactlyTheInterface) {
  std::string cmd = std::string("nm -D --defined-only ") + OMR_LIBRARY_PATH;
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> found;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    char addr[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", addr, type, name) != 3) continue;
    if (std::strcmp(type, "T") == 0 || std::strcmp(type, "t") == 0 || std::strcmp(type, "W") == 0 ||
        std::strcmp(type, "D") == 0 || std::strcmp(type, "B") == 0 || std::strcmp(type, "V") == 0 ||
        std::strcmp(type, "i") == 0)
      found.insert(name);
  }
  pclose(pipe);
  EXPECT_EQ(found, kExports);
  for (const std::string& name : kExports) EXPECT_NE(dlsym(handle, name.c_str()), nullptr) << name;
}

TEST_F(Library, AliasesShareOneEntry) {
  EXPECT_EQ(dlsym(handle, "MR_Close"), dlsym(handle, "CloseCom"));
  EXPECT_EQ(dlsym(handle, "MR_Read"), dlsym(handle, "MR_ReadNoWait"));
  EXPECT_EQ(dlsym(handle, "MR_GetPara"), dlsym(handle, "MR_SetPara"));
}

TEST_F(Library, FixedAnswers) {
  EXPECT_EQ(Get<int (*)(int, int)>("MR_GetBarcodeString")(1, 2), -100);
  EXPECT_EQ(Get<int (*)()>("MR_SaveConfig")(), 0);
  EXPECT_EQ(Get<int (*)(int)>("MR_GetPara")(5), 0);
  EXPECT_EQ(Get<unsigned char (*)()>("MR_Clear")(), 0);
  EXPECT_EQ(Get<int (*)(int, char*)>("MR_GetErrMsg")(1, nullptr), -1);
  EXPECT_EQ(Get<int (*)(int, char*)>("MR_GetErrMsgEn")(1, nullptr), -1);
  char out[64];
  EXPECT_EQ(Get<int (*)(int, char*)>("MR_GetErrMsgEn")(9, out), 27);
  EXPECT_STREQ(out, "Head-A Sync-mark overcount!");
}

TEST_F(Library, LastErrorWaitsAndDoesNotClear) {
  auto getLastError = Get<int (*)()>("MR_GetLastError");
  const auto start = std::chrono::steady_clock::now();
  const int first = getLastError();
  const int second = getLastError();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(first, second);
  EXPECT_GE(elapsed, std::chrono::milliseconds(400));
  EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
}

}  // namespace
