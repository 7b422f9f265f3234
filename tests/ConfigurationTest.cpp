#include "app/Run.h"
#include "config/Configuration.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <tuple>
#include <vector>

namespace marlobex {
namespace {

LoadResult load(const test::ScratchDirectory& dir, const std::string& text, LoadedConfiguration& loaded) {
  test::write_file(dir.path() + "Marlobex.xml", text);
  return load_configuration_file(dir.path() + "Marlobex.xml", loaded);
}

// Each accepted Terminal gets its link at once, which logs its creation with the recorder address
// and listens; the rejections are logged in document order, every configured text escaped.
TEST(ConfigurationTest, TheRulesOfTheLinksAndTheirLogLines) {
  const std::string log_path = test::log_directory() + "Marlobex.log";
  const std::size_t offset = test::read_file(log_path).size();
  IoService io;
  TerminalServer holder(io, "", "abc");  // holds a port, so that the binds of that port below fail
  const std::string port = std::to_string(holder.local_port());
  const std::string forged = "[ 2026-Jan-01 00:00:00 ] Accepted connection from NVR address: 10.9.9.9 Port: 4001";
  // The worked example's links, and: the last non-empty NVR of a network is its recorder address, a
  // duplicate included. A Terminal needs an address and a NvrPort text not yet taken, and a
  // duplicate key still takes its text. Names are matched exactly, entities decoded, nothing
  // trimmed, and the last adapter counts. The held port is written with a leading zero, 65536
  // higher (16 bits are kept), and followed by a forged log line, twice.
  std::string xml = R"(<C><Network SniffAdapterAddress="192.168.1.10">
      <Terminal SrcAddress="192.168.1.101" DstAddress="10.0.0.5" DstPort="9100" NvrPort="a"/>
      <NVR Address="A&#9;"/><NVR Address="192.168.1.50"/><NVR Address=""/>
      <Terminal SrcAddress="192.168.1.102" NvrPort="b"/><Terminal SrcPort="1"/><Terminal SrcAddress="4.4.4.4"/>
      <terminal SrcAddress="8.8.8.8" NvrPort="h"/><Terminal SrcAddress="192.168.1.102" NvrPort="c"/>
      <Terminal SrcAddress="6.6.6.6" NvrPort="c"/><Terminal SrcAddress=" 10.0.0.&#53;" NvrPort="d"/>
    </Network><Network><NVR Address="A&#9;"/>)";
  const std::vector<std::string> written = {port, "0" + port, std::to_string(holder.local_port() + 65536),
                                            port + "&#10;" + forged, port + "&#10;" + forged};
  for (std::size_t i = 0; i < written.size(); ++i) {
    xml += "<Terminal SrcAddress=\"9.9.9." + std::to_string(i) + "\" NvrPort=\"" + written[i] + "\"/>";
  }
  xml += R"(</Network><Network SniffAdapterAddress="last"><Terminal DstAddress="3.3.3.3" NvrPort="e"/></Network></C>)";
  test::ScratchDirectory dir;
  LoadedConfiguration loaded;
  ASSERT_EQ(load(dir, xml, loaded), LoadResult::Loaded);
  EXPECT_EQ(read_adapter_address(loaded.root), "last");
  RecorderTable recorders;
  NvrPortSet ports;
  TerminalTable terminals;
  build_terminal_links(loaded.root, io, recorders, ports, terminals);
  std::vector<std::string> keys;
  for (const auto& link : terminals) keys.push_back(link.first);
  EXPECT_EQ(keys, (std::vector<std::string>{" 10.0.0.5:::", "192.168.1.101::10.0.0.5:9100", "192.168.1.102:::",
                                            "9.9.9.0:::", "9.9.9.1:::", "9.9.9.2:::", "9.9.9.3:::", "::3.3.3.3:"}));
  const std::string creating = "Creating terminal connection: ";
  std::vector<std::string> expected = {
      creating + ":abc", creating + "192.168.1.50:a", creating + "192.168.1.50:b",
      "Invalid Terminal entry. No valid SrcAddress or DstAddress found. Skipping.",
      "NVR Port c is already in use. Ignoring.", creating + "192.168.1.50:d",
      "NVR A\\x09 already defined.  Skipping duplicate."};
  for (const std::string& logged : {port, "0" + port, written[2], port + "\\x0A" + forged}) {
    expected.push_back(creating + "A\\x09:" + logged);
    expected.push_back("Acceptor bind failed: Port " + logged + " Error: Address already in use");
  }
  expected.push_back("NVR Port " + port + "\\x0A" + forged + " is already in use. Ignoring.");
  expected.push_back(creating + ":e");
  std::istringstream in(test::read_file(log_path).substr(offset));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(" ] ") + 3));
  EXPECT_EQ(lines, expected);
}

std::string nested(const std::string& open, int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open + "\n";
  for (int i = 0; i < levels; ++i) text += "</a>";
  return text;
}

TEST(ConfigurationTest, BombsAndMisreadBytesAreRefusedBeforeParsing) {
  test::ScratchDirectory dir;
  LoadedConfiguration loaded;
  // However the levels are written, with markup that hides end tags from a careless scan, 64 load
  // and 65 are refused; an empty element counts as one more level.
  const std::vector<std::pair<std::string, int>> deepest = {
      {"<a>", 64}, {"<a v=\"</a>>&lt;</a>\" w='\"></a>' x=y>", 64}, {"<a><!-- </a></a> -->", 64},
      {"<a><![CDATA[</a></a>]]>", 64}, {"<a><?pi </a>", 64}, {"<a><?xml version=\"</a>>\" standalone='</a>'?>", 64},
      {"<a><!DOCTYPE d [<!ENTITY e \"</a>\">]>", 64}, {"<a><b/><c x=\"/>\"/>", 63}};
  for (const auto& family : deepest) {
    EXPECT_EQ(load(dir, nested(family.first, family.second), loaded), LoadResult::Loaded) << family.first;
    EXPECT_EQ(load(dir, nested(family.first, family.second + 1), loaded), LoadResult::NotLoaded) << family.first;
    EXPECT_EQ(loaded.error, "elements nested more than 64 deep");
  }
  // The shipped example; bytes TinyXML would read otherwise than the scan in a document it reads as
  // UTF-8 (declared so, or by default), but not in one it reads byte by byte (a declared Latin-1, or
  // no declaration), where marks are bytes too; marks hide no nesting from the scan where TinyXML
  // skips them as white space; the size limit in the file's own bytes (CR LF counts two).
  const std::string fill(kMaxConfigurationBytes - 13, 'x');
  const std::vector<std::tuple<std::string, LoadResult, std::string>> cases = {
      {test::read_file(MARLOBEX_SOURCE_DIR "/Marlobex.xml"), LoadResult::Loaded, ""},
      {"<a>&#x</a></a>x1;</a>", LoadResult::NotLoaded, "a malformed character reference"},
      {"<?xml version=\"1.0\"?>\n<a v=\"\xE0\"/>", LoadResult::NotLoaded, "an incomplete UTF-8 sequence"},
      {"<!---->\n<?xml encoding='Utf8-x'?><a v='\xE0'/>", LoadResult::NotLoaded, "an incomplete UTF-8 sequence"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a v=\"Caf\xE9\"/>", LoadResult::Loaded, ""},
      {"<a v=\"\xE0\">\xEF\xBB\xBF</a><?xml version=\"1.0\"?>", LoadResult::Loaded, ""},
      {"<?xml version=\"1.0\"?><!-- \xEF\xBB\xBF --><a/>", LoadResult::Loaded, ""},
      {"\xEF\xBB\xBF<a/>\xEF\xBF\xBE" + nested("<\xEF\xBB\xBF a \xEF\xBF\xBF>", 65), LoadResult::NotLoaded,
       "elements nested more than 64 deep"},
      {"<a v=\"K\xC3\xB6ln &#252; &#xFC; &amp; AT&T\"/>", LoadResult::Loaded, ""},
      {std::string("<a/>\n\0", 6), LoadResult::NotLoaded, "a NUL byte"},
      {"\xEF\xBB\xBF<a/>", LoadResult::Loaded, ""},
      {"<a/>\r\n<!--" + fill + "-->", LoadResult::Loaded, ""},
      {"<a/>\r\n<!--" + fill + "x-->", LoadResult::NotLoaded, "larger than 1,048,576 bytes"},
      {"<C><Network></C>", LoadResult::NotLoaded, "Error reading end tag."},
      {"<?xml version=\"1.0\"?><!-- nothing -->", LoadResult::NoRootElement, ""}};
  for (const auto& [text, result, error] : cases) {
    EXPECT_EQ(load(dir, text, loaded), result) << text.substr(0, 40);
    EXPECT_EQ(loaded.error, error);
  }
  EXPECT_EQ(load_configuration_file(dir.path() + "missing.xml", loaded), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "No such file or directory");
  // A FIFO would hold the open until somebody wrote to it.
  ASSERT_EQ(::mkfifo((dir.path() + "fifo.xml").c_str(), 0600), 0);
  EXPECT_EQ(load_configuration_file(dir.path() + "fifo.xml", loaded), LoadResult::NotLoaded);
  EXPECT_EQ(loaded.error, "not a regular file");
}

}  // namespace
}  // namespace marlobex
