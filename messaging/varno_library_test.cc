#include "messaging/varno.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

void put32(std::vector<unsigned char>& m, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) m[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A message as the service stores it: 292-byte header, then the body.
std::vector<unsigned char> message(int32_t tags, uint16_t type, uint32_t size_override = 0) {
  const uint32_t size = 384 + 16 * static_cast<uint32_t>(tags < 0 ? 0 : tags);
  std::vector<unsigned char> m(size, 0);
  m[2] = static_cast<unsigned char>(type);
  m[3] = static_cast<unsigned char>(type >> 8);
  put32(m, 4, size_override ? size_override : size);
  put32(m, 8, 4711);             // transaction number
  put32(m, 292, 17);             // list id
  put32(m, 296, uint32_t(-25));  // frequency
  put32(m, 300, static_cast<uint32_t>(tags));
  for (int i = 0; i < 10; ++i) {
    put32(m, 304 + 4 * i, 13);
    put32(m, 344 + 4 * i, i == 0 ? 55u : uint32_t(-1));
  }
  for (int i = 0; i < tags; ++i) {
    put32(m, 384 + 8 * i, 0xABCD);
    put32(m, 388 + 8 * i, 1000 + i);
  }
  return m;
}

struct Outs {
  const VARNO_STATUS* tag_status = reinterpret_cast<const VARNO_STATUS*>(1);
  const VARNO_TIMESTAMP* stamps = reinterpret_cast<const VARNO_TIMESTAMP*>(1);
  int32_t v[12];
  Outs() {
    for (auto& x : v) x = 77;
  }
};

int32_t parse(const std::vector<unsigned char>& m, Outs* o, VARNO_STATUS* s) {
  return VARNO_SERVER_PARSE_UNSREP(m.data(), &o->tag_status, &o->v[0], &o->v[1], &o->v[2], &o->v[3],
                                   &o->v[4], &o->v[5], &o->v[6], &o->v[7], &o->v[8], &o->v[9],
                                   &o->v[10], &o->v[11], &o->stamps, s);
}

TEST(StatusBlock, ClearRecordAndKeepTheFirstTen) {
  VARNO_STATUS s;
  std::memset(&s, 0x55, sizeof s);
  VARNO_SERVER_INITBLK(&s);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(s.error[i], -1);
  VARNO_SERVER_INITBLK(nullptr);
  VARNO_SERVER_LDBLK(1, 0, nullptr);
  for (int i = 0; i < 12; ++i) VARNO_SERVER_LDBLK(13, 100 + i, &s);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s.facility[i], 13);
    EXPECT_EQ(s.error[i], 100 + i);
  }
  VARNO_CLIENT_INITBLK(&s);
  EXPECT_EQ(s.error[0], -1);
  EXPECT_FALSE(varno_failed(s));
  VARNO_SERVER_LDBLK(1, 0, &s);  // the end of a file: no system error, still a failure
  EXPECT_TRUE(varno_failed(s));
}

TEST(ServerInit, ServiceResolution) {
  testsupport::ScratchHome home{testsupport::Registry::kUntouched};
  VARNO_STATUS s;
  char reply[32];
  // "http" is in every services database (on Windows only once winsock is
  // started).
  for (const char* good : {"1", "5000", "65535", "00080", "http"}) {
    EXPECT_EQ(VARNO_SERVER_INIT(1, good, reply, &s), 0) << good;
    EXPECT_EQ(s.error[0], -1) << good;
  }
  for (const char* bad : {"", "0", "65536", "-5", "12a", "no-such-service-here", " 5000"}) {
    EXPECT_EQ(VARNO_SERVER_INIT(1, bad, reply, &s), -1) << bad;
    EXPECT_EQ(s.facility[0], 2) << bad;
    EXPECT_EQ(s.error[0], 201) << bad;
    EXPECT_EQ(s.error[1], -1) << bad;
  }
}

TEST(ServerInit, UnusableEnvironmentDirectory) {
  testsupport::ScratchHome home;
  testsupport::write_file(home.file("file"), "");
  testsupport::set_env("VARNO_HOME", (home.file("file") + "/sub").c_str());
  VARNO_STATUS s;
  char reply[32];
  EXPECT_EQ(VARNO_SERVER_INIT(1, "5000", reply, &s), -1);
  EXPECT_EQ(s.facility[0], 2);
  EXPECT_EQ(s.error[0], 202);
}

TEST(Environment, DirectoryIsCreatedAndEndsInOneSlash) {
  testsupport::ScratchHome home;
  testsupport::set_env("VARNO_HOME", (home.path + "/deep/er//").c_str());
  VARNO_ENVIRONMENT env;
  VARNO_CLIENT_ENVIRONMENT(&env);
  EXPECT_EQ(std::string(env.directory), home.path + "/deep/er/");
  EXPECT_TRUE(testsupport::file_exists(home.path + "/deep/er"));
  testsupport::set_env("VARNO_HOME", ("/" + std::string(2000, 'd')).c_str());
  VARNO_CLIENT_ENVIRONMENT(&env);
  EXPECT_EQ(std::string(env.directory), "");  // does not fit: never cut
}

TEST(Logs, EntriesCarryTimeStampProcessAndText) {
  testsupport::ScratchHome home;
  KernelDebugLog("[%s] [%s]", "fn", "two\nlines");
  VARNO_STATUS s;
  VARNO_SERVER_LDBLK(1, 1, &s);
  VARNO_SERVER_LOGMSG("XXX", "Error renaming file a\nStatus=2", &s);
  EXPECT_EQ(s.error[0], -1);
  const std::string debug = testsupport::read_text_file(home.home() + "varno_debug.log");
  const std::string pid = "[" + std::to_string(platform::process_id()) + "] ";
  ASSERT_GT(debug.size(), 24u);
  EXPECT_EQ(debug.substr(23, pid.size() + 1), " " + pid);
  EXPECT_EQ(debug.substr(24 + pid.size()), "[fn] [two\nlines]\n");
  EXPECT_EQ(testsupport::log_entries(home.home() + "varno_message.log"),
            std::vector<std::string>{"[XXX] Error renaming file a\nStatus=2"});
}

TEST(Filter, RemovesTheTrailingLineBreakOnly) {
  EXPECT_STREQ(VARNO_FILTER_CRLF("The system cannot find the file.\r\n"),
               "The system cannot find the file.");
  EXPECT_STREQ(VARNO_FILTER_CRLF("a\r\nb\n"), "a\r\nb");
  EXPECT_STREQ(VARNO_FILTER_CRLF(""), "");
}

TEST(LastError, NotFoundIsTheIgnorableKind) {
  int32_t kind = -1;
  varno_SetLastError(platform::kErrorNotFound);
  varno_GetLastErrorEx(0, 0, &kind);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(varno_GetLastError(), platform::kErrorNotFound);
  varno_SetLastError(platform::kErrorAlreadyExists);
  varno_GetLastErrorEx(0, 0, &kind);
  EXPECT_EQ(kind, 0);
}

TEST(Parse, BodyLayoutAndTransactionType) {
  auto m = message(3, 1);
  EXPECT_EQ(VARNO_SERVER_TRANSTYPE(m.data()), 1);
  EXPECT_EQ(VARNO_SERVER_TRANSTYPE(message(0, 2).data()), 2);
  Outs o;
  VARNO_STATUS s;
  ASSERT_EQ(VARNO_SERVER_PARSE_GETREP(m.data(), &o.tag_status, &o.v[0], &o.v[1], &o.v[2], &o.v[3],
                                      &o.v[4], &o.v[5], &o.v[6], &o.v[7], &o.v[8], &o.v[9],
                                      &o.v[10], &o.v[11], &o.stamps, &s),
            0);
  EXPECT_EQ(s.error[0], -1);
  EXPECT_EQ(o.v[0], 4711);  // transaction number
  EXPECT_EQ(o.v[2], 17);    // list id
  EXPECT_EQ(o.v[5], 3);     // tags
  EXPECT_EQ(o.v[6], -25);   // frequency
  for (int i : {1, 3, 4, 7, 8, 9, 10, 11}) EXPECT_EQ(o.v[i], 0) << i;
  ASSERT_NE(o.tag_status, nullptr);
  EXPECT_EQ(o.tag_status->facility[0], 13);
  EXPECT_EQ(o.tag_status->error[0], 55);
  EXPECT_EQ(o.tag_status->error[1], -1);
  ASSERT_NE(o.stamps, nullptr);
  EXPECT_EQ(o.stamps[0].word, 0xABCDu);
  EXPECT_EQ(o.stamps[2].seconds, 1002);

  Outs none;
  ASSERT_EQ(parse(message(0, 2), &none, &s), 0);
  EXPECT_EQ(none.v[5], 0);
  EXPECT_EQ(none.stamps, nullptr);
  EXPECT_NE(none.tag_status, nullptr);
}

TEST(Parse, MalformedBodiesSetNothing) {
  std::vector<std::vector<unsigned char>> bad;
  bad.push_back(message(0, 2, 383));  // shorter than the fixed body
  bad.push_back(message(-1, 2));      // negative tag count
  auto long_count = message(2, 2);
  put32(long_count, 300, 3);  // arrays would run past the message
  bad.push_back(long_count);
  auto huge = message(1, 2);
  put32(huge, 300, 0x7FFFFFFF);
  bad.push_back(huge);
  for (size_t i = 0; i < bad.size(); ++i) {
    Outs o;
    VARNO_STATUS s;
    EXPECT_EQ(parse(bad[i], &o, &s), -1) << i;
    EXPECT_EQ(s.facility[0], 2) << i;
    EXPECT_EQ(s.error[0], 210) << i;
    EXPECT_EQ(o.tag_status, nullptr) << i;
    EXPECT_EQ(o.stamps, nullptr) << i;
    for (int32_t v : o.v) EXPECT_EQ(v, 0) << i;
  }
}

}  // namespace
