#include "app/CountersFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace marlobex {
namespace {

class CountersFileTest : public ::testing::Test {
 protected:
  void add_link(const std::string& nvr_port, const std::string& dst_port) {
    std::unique_ptr<TerminalLink> link(
        new TerminalLink(io_, "10.0.0.1", "", "", dst_port, "127.0.0.1", nvr_port));
    terminals_.emplace(TerminalLink::key("10.0.0.1", "", "", dst_port), std::move(link));
  }
  void SetUp() override { test::log_directory(); }
  CountersView view() { return CountersView{1765000000, capture_, terminals_}; }

  test::ScratchDirectory dir_;
  IoService io_;
  CaptureSource capture_{"10.0.0.2", nullptr};
  TerminalTable terminals_;
};

TEST_F(CountersFileTest, LabelValuesAreEscapedAndGaugesFollowTheServers) {
  add_link("0\\\"\n", "9100");
  CountersFile file(dir_.path());
  file.write(view());
  const std::string text = test::read_file(file.path());
  const std::string labels =
      "{nvr_port=\"0\\\\\\\"\\n\",recorder=\"127.0.0.1\",src_address=\"10.0.0.1\",src_port=\"\","
      "dst_address=\"\",dst_port=\"9100\"}";
  EXPECT_NE(text.find("\nmarlobex_link_listening" + labels + " 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nmarlobex_link_recorder_connected" + labels + " 0\n"), std::string::npos);
  EXPECT_NE(text.find("\nmarlobex_capture_open 0\n"), std::string::npos);
  EXPECT_NE(text.find("\nmarlobex_start_time_seconds 1765000000\n"), std::string::npos);
}

TEST_F(CountersFileTest, AReaderNeverSeesAPartialFile) {
  for (int i = 0; i < 50; ++i) add_link(std::to_string(0), std::to_string(9000 + i));
  CountersFile file(dir_.path());
  file.write(view());
  const std::string whole = test::read_file(file.path());
  std::atomic<bool> done{false};
  int partial = 0;
  int reads = 0;
  std::thread reader([&] {
    while (!done) {
      const std::string seen = test::read_file(file.path());
      ++reads;
      if (seen != whole) ++partial;
    }
  });
  for (int i = 0; i < 300; ++i) file.write(view());
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(partial, 0);
}

}  // namespace
}  // namespace marlobex
