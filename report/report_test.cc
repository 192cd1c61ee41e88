#include "report/report.h"

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

struct Capture {
  Capture() { set_screen_capture(&text); }
  ~Capture() { set_screen_capture(nullptr); }
  std::string text;
};

struct Utc {
  Utc() { testsupport::set_time_zone("UTC"); }
  ~Utc() { testsupport::set_time_zone(nullptr); }
};

TEST(ErrorList, StopsAtTheFirstFreeSlotAndAtTen) {
  VARNO_STATUS s;
  VARNO_SERVER_INITBLK(&s);
  {
    Capture c;
    print_error_list(s);
    EXPECT_EQ(c.text, "\nError codes\n-----------\n");
  }
  for (int i = 0; i < 10; ++i) VARNO_SERVER_LDBLK(i + 1, 13000 + i, &s);
  {
    Capture c;
    print_error_list(s);
    std::string expected = "\nError codes\n-----------\n";
    for (int i = 0; i < 10; ++i) {
      expected += "\n" + std::to_string(i) + ") facility=" + std::to_string(i + 1) +
                  "  error=" + std::to_string(13000 + i);
    }
    EXPECT_EQ(c.text, expected);
  }
  s.error[3] = -1;  // later slots still hold values
  {
    Capture c;
    print_error_list(s);
    EXPECT_EQ(c.text,
              "\nError codes\n-----------\n\n0) facility=1  error=13000\n1) facility=2  "
              "error=13001\n2) facility=3  error=13002");
  }
}

TEST(AppendFormat, TextsAroundTheStackBufferComeOutWhole) {
  for (const size_t length : {511u, 512u, 513u}) {
    const std::string text = std::string(length - 1, 'a') + "z";
    std::string out = "<";
    append_format(out, "%s", text.c_str());
    EXPECT_EQ(out, "<" + text) << length;
  }
}

TEST(TimeStampText, AsctimeFormInLocalTime) {
  Utc utc;
  EXPECT_STREQ(time_stamp_text(0), "Thu Jan  1 00:00:00 1970\n");
  EXPECT_STREQ(time_stamp_text(1700000000), "Tue Nov 14 22:13:20 2023\n");
  EXPECT_STREQ(time_stamp_text(2147483647), "Tue Jan 19 03:14:07 2038\n");
  EXPECT_STREQ(time_stamp_text(-1), "(invalid time stamp)\n");
  EXPECT_STREQ(time_stamp_text(INT32_MIN), "(invalid time stamp)\n");
  // The same value again after another one gives the same text.
  EXPECT_STREQ(time_stamp_text(0), "Thu Jan  1 00:00:00 1970\n");
  testsupport::set_time_zone("EST5");
  EXPECT_STREQ(time_stamp_text(86400), "Thu Jan  1 19:00:00 1970\n");
}

TEST(ReportBlock, ModesAndTheFlushAfterEachBlock) {
  testsupport::ScratchDir dir;
  const std::string path = dir.file("out.txt");
  FILE* out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  Capture c;
  print_report_block(kOutputScreen, out, "S0\n", "F0\n");
  print_report_block(kOutputFile, out, "S1\n", "F1\n");
  EXPECT_EQ(testsupport::read_text_file(path), "F1\n")
      << "the block must be on disk before the next";
  print_report_block(kOutputBoth, out, "S2\n", "F2\n");
  EXPECT_EQ(testsupport::read_text_file(path), "F1\nF2\n");
  EXPECT_EQ(c.text, "S0\nS2\n");
  std::fclose(out);
  print_report_block(kOutputScreen, nullptr, "S3\n", "F3\n");
  EXPECT_EQ(c.text, "S0\nS2\nS3\n");
}

}  // namespace
