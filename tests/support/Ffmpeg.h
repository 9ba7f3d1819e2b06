#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brindlet::testsupport {

// Runs a program to its end and gives its standard output and error; throws when it fails.
std::string runToEnd(const std::vector<std::string>& argv);

// `count` moving NV12 pictures of ffmpeg's testsrc2 source at `rate` frames a second, each
// width × height × 3 / 2 bytes.
std::vector<std::vector<std::uint8_t>> testPictures(int width, int height, int count,
                                                    int rate = 60);

// One packet of a raw H.264 / HEVC file as ffmpeg's trace_headers filter reads it: its size,
// whether it is a keyframe, and the type number of each of its NAL units.
struct TracedPacket {
  std::size_t size = 0;
  bool key = false;
  std::vector<int> nalTypes;
};
std::vector<TracedPacket> traceHeaders(const std::string& file);

// ffprobe's answer for the file's video stream, one "csv=p=0" line per item:
// probe(file, "-show_entries", "stream=color_space").
std::string probe(const std::string& file, const std::vector<std::string>& arguments);
// The frames ffprobe decodes in the file.
int countFrames(const std::string& file);

}  // namespace brindlet::testsupport
