#include "config/Configuration.h"
#include "config/DocumentScan.h"
#include "log/InstallDirectory.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <algorithm>
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
    offset_ = test::read_file(log_path()).size();
  }
  static std::string log_path() { return test::log_directory() + "Marlobex.log"; }
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

TEST_F(ConfigurationTest, ConfiguredTextsReachTheLogWithTheirControlBytesEscaped) {
  IoService io;
  TerminalServer holder(io, "", "abc");  // holds the port, so that the link's bind fails too
  const std::string port = std::to_string(holder.local_port());
  const std::string forged = " ] Accepted connection from NVR address: 10.9.9.9 Port: 4001";
  const std::string xml = "<C><Network><NVR Address=\"127.0.0.1&#9;\"/>"
                          "<Terminal SrcAddress=\"1.1.1.1\" NvrPort=\"" + port + "&#10;[ 2026-Jan-01 00:00:00" +
                          forged + "\"/><Terminal SrcAddress=\"2.2.2.2\" NvrPort=\"" + port +
                          "&#10;[ 2026-Jan-01 00:00:00" + forged + "\"/></Network></C>";
  RecorderTable recorders;
  NvrPortSet ports;
  TerminalTable terminals;
  build_terminal_links(load(xml), io, recorders, ports, terminals);
  // The texts are used as they stand: the same port, and the tab is part of the recorder address.
  ASSERT_EQ(terminals.size(), 1u);
  EXPECT_EQ(terminals.begin()->second->RecorderAddress, "127.0.0.1\t");
  EXPECT_EQ(*ports.begin(), port + "\n[ 2026-Jan-01 00:00:00" + forged);
  const std::string escaped = port + "\\x0A[ 2026-Jan-01 00:00:00" + forged;
  EXPECT_EQ(new_lines(), (std::vector<std::string>{
                             "Creating terminal connection: :abc",
                             "Creating terminal connection: 127.0.0.1\\x09:" + escaped,
                             "Acceptor bind failed: Port " + escaped + " Error: Address already in use",
                             "NVR Port " + escaped + " is already in use. Ignoring."}));
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

// The depth of the deepest element, walked without recursion.
int tree_depth(const TiXmlDocument& document) {
  int deepest = 0;
  int depth = 0;
  const TiXmlNode* node = document.FirstChild();
  while (node) {
    if (node->ToElement()) deepest = std::max(deepest, depth + 1);
    if (node->FirstChild()) {
      node = node->FirstChild();
      ++depth;
      continue;
    }
    while (node && !node->NextSibling()) {
      node = node->Parent();
      --depth;
    }
    if (node) node = node->NextSibling();
  }
  return deepest;
}

std::string nested(const std::string& open, const std::string& close, int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open + "\n";
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

TEST_F(ConfigurationTest, BombsAndMisreadBytesAreRefusedBeforeParsing) {
  LoadedConfiguration loaded;
  auto load_text = [&](const std::string& text) {
    test::write_file(dir_.path() + "bomb.xml", text);
    return load_configuration_file(dir_.path() + "bomb.xml", loaded);
  };
  // 70,000 levels would overflow the stack of the parser and of the document's destructor.
  EXPECT_EQ(load_text(nested("<a>", "</a>", 70000)), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "elements nested more than 64 deep");
  EXPECT_EQ(loaded.error_line, 65);

  // Markup that hides end tags from a careless scan, and TinyXML's own misreadings: however the
  // levels are written, 64 load and 65 are refused, with TinyXML's own depth as the witness (an
  // empty element counts as a level: parsing and destroying it is one more call).
  struct Family {
    const char* name;
    std::string prefix, open, close;
    bool misread;  // refused at any depth: TinyXML would read these bytes otherwise
  };
  const std::vector<Family> families = {
      {"plain", "", "<a>", "</a>", false},
      {"values with markup", "", "<a v=\"</a>>&lt;</a>\" w='\"></a>' x=y>", "</a>", false},
      {"comments", "", "<a><!-- </a></a> -->", "</a>", false},
      {"CDATA", "", "<a><![CDATA[</a></a>]]>", "</a>", false},
      {"instructions", "", "<a><?pi </a>", "</a>", false},
      {"declarations", "", "<a><?xml version=\"</a>>\" standalone='</a>'?>", "</a>", false},
      {"document types", "", "<a><!DOCTYPE d [<!ENTITY e \"</a>\">]>", "</a>", false},
      {"self-closing", "", "<a><b/><c x=\"/>\"/>", "</a>", false},
      {"character references", "", "<a>&#x</a></a>x1;", "</a>", true},
      {"UTF-8 sequences", "<?xml version=\"1.0\"?>", "<a>\xE0</a>", "</a>", true},
  };
  for (const Family& family : families) {
    for (int levels : {63, 64, 65}) {
      const std::string text = family.prefix + nested(family.open, family.close, levels);
      TiXmlDocument witness;
      witness.Parse(text.c_str());
      ASSERT_FALSE(witness.Error()) << family.name;
      const int depth = tree_depth(witness);
      ASSERT_TRUE(depth == levels || depth == levels + 1) << family.name << " " << depth;
      const bool loads = !family.misread && depth <= kMaxElementDepth;
      EXPECT_EQ(load_text(text), loads ? LoadResult::Loaded : LoadResult::NotLoaded)
          << family.name << " " << levels << ": " << loaded.error;
    }
  }
  EXPECT_EQ(load_text("<a>&#x</a></a>x1;</a>"), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "a malformed character reference");
  EXPECT_EQ(load_text("<?xml version=\"1.0\"?>\n<a v=\"\xE0\"/>"), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "an incomplete UTF-8 sequence");
  EXPECT_EQ(loaded.error_line, 2);
  EXPECT_EQ(load_text("<a v=\"K\xC3\xB6ln &#252; &#xFC; &amp; AT&T\"/>"), LoadResult::Loaded);
  EXPECT_EQ(load_text(std::string("<a/>\n\0", 6)), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "a NUL byte");
  EXPECT_EQ(load_text("\xEF\xBB\xBF<a/>"), LoadResult::Loaded);
  EXPECT_EQ(load_text("<a>\xEF\xBB\xBF</a>"), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "a byte order mark after the start");

  // The size limit, counted in the file's own bytes (CR LF counts two).
  const std::string root = "<a/>\r\n";
  const std::string fill(kMaxConfigurationBytes - root.size() - 7, 'x');
  EXPECT_EQ(load_text(root + "<!--" + fill + "-->"), LoadResult::Loaded);
  EXPECT_EQ(load_text(root + "<!--" + fill + "x-->"), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "larger than 1,048,576 bytes");
  EXPECT_EQ(load_text("<C><Network></C>"), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "Error reading end tag.");
  EXPECT_EQ(load_configuration_file(dir_.path() + "missing.xml", loaded), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "No such file or directory");
}

}  // namespace
}  // namespace marlobex
