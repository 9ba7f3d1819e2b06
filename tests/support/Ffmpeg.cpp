#include "support/Ffmpeg.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {

std::string runToEnd(const std::vector<std::string>& argv) {
  ChildProcess child(argv);
  child.closeInput();
  if (child.waitExit(std::chrono::minutes(2)) != 0) {
    throw std::runtime_error(argv[0] + " failed: " + child.output());
  }
  return child.output();
}

std::vector<std::vector<std::uint8_t>> testPictures(int width, int height, int count, int rate) {
  const TempDir dir;
  const std::string file = dir.file("pictures.nv12");
  const std::string source = "testsrc2=size=" + std::to_string(width) + "x" +
                             std::to_string(height) + ":rate=" + std::to_string(rate);
  runToEnd({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            source, "-frames:v", std::to_string(count), "-pix_fmt", "nv12", "-f", "rawvideo",
            file});
  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> all{std::istreambuf_iterator<char>(in), {}};
  const std::size_t size = std::size_t(width) * height * 3 / 2;
  if (all.size() != size * count) throw std::runtime_error("ffmpeg gave too few pictures");
  std::vector<std::vector<std::uint8_t>> pictures;
  for (int i = 0; i < count; ++i) {
    pictures.emplace_back(all.begin() + i * size, all.begin() + (i + 1) * size);
  }
  return pictures;
}

// trace_headers writes a "Packet: N bytes[, key frame]" line and then one nal_unit_type line
// per unit of that packet. Lines before the first packet describe the stream's extradata.
std::vector<TracedPacket> traceHeaders(const std::string& file) {
  const std::string trace =
      runToEnd({"ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-i", file, "-c:v", "copy",
                "-bsf:v", "trace_headers", "-f", "null", "-"});
  static const std::regex packetLine(R"(Packet: (\d+) bytes(, key frame)?)");
  static const std::regex nalLine(R"(\snal_unit_type\s+[01]+ = (\d+))");
  std::vector<TracedPacket> packets;
  std::istringstream lines(trace);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, m, packetLine)) {
      packets.push_back({std::stoul(m[1]), m[2].matched, {}});
    } else if (std::regex_search(line, m, nalLine) && !packets.empty()) {
      packets.back().nalTypes.push_back(std::stoi(m[1]));
    }
  }
  return packets;
}

std::string probe(const std::string& file, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"ffprobe", "-v", "error", "-select_streams", "v:0"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  for (const char* tail : {"-of", "csv=p=0"}) argv.emplace_back(tail);
  argv.push_back(file);
  return runToEnd(argv);
}

int countFrames(const std::string& file) {
  return std::stoi(probe(file, {"-count_frames", "-show_entries", "stream=nb_read_frames"}));
}

}  // namespace brindlet::testsupport
