// Options of the raw2dpx command line.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "RawToDpx.h"
#include "SequencePlan.h"

enum class OverwriteMode { Default, Ask, Always, Never };

struct Shard {
  int index = 0;  // counts from 0
  int count = 1;
};

struct CliOptions {
  std::vector<std::string> inputs;  // files and folders, in the order given
  std::string listFile;             // --list: one path a line; "-" reads standard input
  std::string outputFolder;
  TConvertOptions convert;
  int jobs = 0;  // 0: one per core, fewer when memory is short
  OverwriteMode overwrite = OverwriteMode::Default;
  bool keepGoing = false;
  bool info = false;
  bool dryRun = false;
  bool verbose = false;  // also tell what the machine offers and how many conversions run at once
  bool help = false;
  bool version = false;
  std::optional<Shard> shard;
  bool recursive = false;        // -r: folders with all their sub-folders
  bool orderGiven = false;       // --order was given
  bool colorSpaceGiven = false;  // --color-space was given
  // --wb-from: the as-shot white balance of this file for every frame (read when the run starts).
  std::string whiteBalanceFrom;
  SequenceSettings sequence;  // names, order, format and metadata of the outputs
};

// Bad usage: the message says what is wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

CliOptions ParseCommandLine(const std::vector<std::string>& args);
// --wb: asshot, daylight, R,G,B multipliers, or KELVIN[,TINT]; sets the white balance of convert.
void ParseWhiteBalance(const std::string& value, TConvertOptions& convert);
const char* UsageText();
// "raw2dpx 1.0.0" and a line break.
std::string VersionText();

// Paths listed in text: one a line; blank lines and lines starting with "#" are ignored;
// surrounding blanks and a carriage return are trimmed.
std::vector<std::string> ParsePathList(const std::string& text);

// Two inputs that would be written to the same output file.
struct OutputClash {
  std::string first;  // the earlier of the two in paths
  std::string second;
  std::string output;
};

// Every input of paths whose output file in outputFolder an earlier input has already. The
// later input would replace the earlier one's frame (or be skipped as existing), and shards,
// which run as separate processes, could write such a file at the same time, both reporting
// success for what is in the end one frame.
std::vector<OutputClash> OutputClashes(const std::vector<std::string>& paths,
                                       const std::string& outputFolder);

// The slice of paths (sorted first) that shard takes; the shards of one count are disjoint and
// together hold every path exactly once, their sizes differing by at most one.
std::vector<std::string> ShardSlice(std::vector<std::string> paths, Shard shard);
