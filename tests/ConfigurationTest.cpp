#include "config/Configuration.h"
#include "log/InstallDirectory.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <regex>
#include <sstream>
#include <vector>

namespace marlobex {
namespace {

using test::ScratchDirectory;

// Lines written to the daemon's log since the fixture began, without their stamps.
class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boost::filesystem::create_directories(kInstallDirectory);
    offset_ = test::read_file(log_path()).size();
  }
  static std::string log_path() { return std::string(kInstallDirectory) + "Marlobex.log"; }
  std::vector<std::string> new_lines() const {
    std::istringstream in(test::read_file(log_path()).substr(offset_));
    std::vector<std::string> lines;
    static const std::regex stamp(R"(^\[ \d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} \] )");
    for (std::string line; std::getline(in, line);) lines.push_back(std::regex_replace(line, stamp, ""));
    return lines;
  }
  const TiXmlElement* load(const std::string& xml) {
    test::write_file(dir_.path() + "Marlobex.xml", xml);
    EXPECT_EQ(load_configuration_file(dir_.path() + "Marlobex.xml", loaded_), LoadResult::Loaded);
    return loaded_.root;
  }
  // The pass without binding: accepted entries by key, and the messages in order.
  struct Outcome {
    RecorderTable recorders;
    NvrPortSet ports;
    std::map<std::string, TerminalEntry> links;
    std::vector<std::string> messages;
  };
  Outcome walk(const std::string& xml) {
    Outcome out;
    ConfigurationSink sink;
    sink.has_link = [&](const std::string& key) { return out.links.count(key) != 0; };
    sink.add_link = [&](const TerminalEntry& e) { out.links[e.key()] = e; };
    sink.report = [&](const std::string& m) { out.messages.push_back(m); };
    walk_terminal_entries(load(xml), out.recorders, out.ports, sink);
    return out;
  }

  ScratchDirectory dir_;
  LoadedConfiguration loaded_;
  std::size_t offset_ = 0;
};

TEST_F(ConfigurationTest, WorkedExampleBuildsListeningLinksInKeyOrder) {
  const TiXmlElement* root = load(R"(<C><Network SniffAdapterAddress="192.168.1.10">
      <NVR Address="192.168.1.50"/>
      <Terminal SrcAddress="192.168.1.101" DstAddress="10.0.0.5" DstPort="9100" NvrPort="abc"/>
      <Terminal SrcAddress="192.168.1.102" NvrPort="xyz"/>
      <Terminal SrcAddress="192.168.1.103" NvrPort="abc"/></Network></C>)");
  EXPECT_EQ(read_adapter_address(root), "192.168.1.10");
  IoService io;
  RecorderTable recorders;
  NvrPortSet ports;
  TerminalTable terminals;
  build_terminal_links(root, io, recorders, ports, terminals);
  ASSERT_EQ(terminals.size(), 2u);
  auto it = terminals.begin();
  EXPECT_EQ(it->first, "192.168.1.101::10.0.0.5:9100");
  EXPECT_EQ(it->second->RecorderAddress, "192.168.1.50");
  EXPECT_EQ(it->second->server->state(), TerminalServer::State::Listening);
  EXPECT_EQ((++it)->first, "192.168.1.102:::");
  EXPECT_EQ(recorders.size(), 1u);
  EXPECT_EQ(ports, (NvrPortSet{"abc", "xyz"}));
  EXPECT_EQ(new_lines(), (std::vector<std::string>{"Creating terminal connection: 192.168.1.50:abc",
                                                   "Creating terminal connection: 192.168.1.50:xyz",
                                                   "NVR Port abc is already in use. Ignoring."}));
}

TEST_F(ConfigurationTest, RecorderAddressIsLastNonEmptyNvrOfItsNetwork) {
  Outcome out = walk(R"(<C>
    <Network><Terminal SrcAddress="1.1.1.1" NvrPort="1"/><NVR Address="A"/><NVR Address="B"/><NVR Address=""/></Network>
    <Network><NVR Address="B"/><Terminal SrcAddress="2.2.2.2" NvrPort="2"/></Network>
    <Network><Terminal DstAddress="3.3.3.3" NvrPort="3"/></Network></C>)");
  EXPECT_EQ(out.links["1.1.1.1:::"].RecorderAddress, "B");
  EXPECT_EQ(out.links["2.2.2.2:::"].RecorderAddress, "B");
  EXPECT_EQ(out.links[":::3.3.3.3:"].RecorderAddress, "");
  EXPECT_EQ(out.recorders.size(), 2u);
  EXPECT_EQ(out.messages, (std::vector<std::string>{"NVR B already defined.  Skipping duplicate."}));
}

TEST_F(ConfigurationTest, TerminalRulesInTheirOrder) {
  Outcome out = walk(R"(<C><Network SniffAdapterAddress="x"><NVR Address="n"/>
    <Terminal SrcPort="1"/>
    <Terminal SrcAddress="1.1.1.1"/>
    <Terminal SrcAddress="5.5.5.5" DstPort="9100" NvrPort="10"/>
    <Terminal SrcAddress="5.5.5.5" DstPort="9100" NvrPort="11"/>
    <Terminal SrcAddress="6.6.6.6" NvrPort="11"/>
    <Terminal SrcAddress="7.7.7.7" NvrPort="010"/>
    <terminal SrcAddress="8.8.8.8" NvrPort="12"/>
    <Terminal SrcAddress=" 10.0.0.&#53;" NvrPort="13"/>
    </Network><Network SniffAdapterAddress="last"/></C>)");
  EXPECT_EQ(out.messages,
            (std::vector<std::string>{"Invalid Terminal entry. No valid SrcAddress or DstAddress found. Skipping.",
                                      "NVR Port 11 is already in use. Ignoring."}));
  EXPECT_EQ(out.ports, (NvrPortSet{"10", "11", "010", "13"}));
  std::vector<std::string> keys;
  for (const auto& link : out.links) keys.push_back(link.first);
  // Entities are decoded and nothing is trimmed.
  EXPECT_EQ(keys, (std::vector<std::string>{" 10.0.0.5:::", "5.5.5.5:::9100", "7.7.7.7:::"}));
  EXPECT_EQ(read_adapter_address(loaded_.root), "last");
}

TEST_F(ConfigurationTest, SamePortWrittenTwoWaysFailsTheSecondBind) {
  IoService io;
  TerminalServer probe(io, "", "abc");
  const std::string port = std::to_string(probe.local_port());
  const std::string xml = "<C><Network><NVR Address=\"r\"/><Terminal SrcAddress=\"1.1.1.1\" NvrPort=\"" + port +
                          "\"/><Terminal SrcAddress=\"2.2.2.2\" NvrPort=\"0" + port + "\"/></Network></C>";
  RecorderTable recorders;
  NvrPortSet ports;
  TerminalTable terminals;
  build_terminal_links(load(xml), io, recorders, ports, terminals);
  ASSERT_EQ(terminals.size(), 2u);
  EXPECT_EQ(terminals.begin()->second->server->state(), TerminalServer::State::Stopped);
  const std::vector<std::string> lines = new_lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "Creating terminal connection: r:" + port);
  EXPECT_EQ(lines[2], "Acceptor bind failed: Port " + port + " Error: Address already in use");
  EXPECT_EQ(lines[3], "Creating terminal connection: r:0" + port);
  EXPECT_EQ(lines[4], "Acceptor bind failed: Port 0" + port + " Error: Address already in use");
}

TEST_F(ConfigurationTest, LoadFailuresAndTheShippedExample) {
  LoadedConfiguration loaded;
  EXPECT_EQ(load_configuration_file(dir_.path() + "missing.xml", loaded), LoadResult::NotLoaded);
  test::write_file(dir_.path() + "bad.xml", "<C><Network></C>");
  EXPECT_EQ(load_configuration_file(dir_.path() + "bad.xml", loaded), LoadResult::NotLoaded);
  test::write_file(dir_.path() + "noroot.xml", "<?xml version=\"1.0\"?><!-- nothing -->");
  EXPECT_EQ(load_configuration_file(dir_.path() + "noroot.xml", loaded), LoadResult::NoRootElement);
  EXPECT_EQ(read_adapter_address(load("<C/>")), "");
  EXPECT_TRUE(walk("<C><network SniffAdapterAddress=\"a\"><Terminal SrcAddress=\"1.1.1.1\" NvrPort=\"1\"/></network>"
                   "<Network><nvr Address=\"r\"/><Terminal SrcAddress=\"2.2.2.2\" NvrPort=\"2\"/></Network></C>")
                  .links.begin()->second.RecorderAddress.empty());

  Outcome out = walk(test::read_file(MARLOBEX_SOURCE_DIR "/Marlobex.xml"));
  EXPECT_EQ(read_adapter_address(loaded_.root), "192.168.1.10");
  ASSERT_EQ(out.links.size(), 2u);
  EXPECT_EQ(out.links.begin()->first, "192.168.1.101::10.0.0.5:9100");
  EXPECT_EQ(out.links.begin()->second.RecorderAddress, "192.168.1.50");
  EXPECT_TRUE(out.messages.empty());
}

}  // namespace
}  // namespace marlobex
