// The directory walk of "scan": which entries below a root are skipped, which
// are selected, and the candidate list of relative paths the walk produces.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace marblewick {

// Directories holding version-control data, virtual environments, dependencies
// and build output; compared with the whole name, exactly.
inline constexpr std::array<std::string_view, 5> SKIPPED_DIRECTORY_NAMES = {".git", "dist", ".venv", "target",
                                                                            "node_modules"};

// Directory listings the walk keeps open at once, shared by the workers that
// walk, each of which may also hold one more of its own (so a worker always
// keeps a directory open while it opens the next). Beyond this a worker reads
// its oldest open listing into memory and closes it.
inline constexpr std::size_t MAX_OPEN_DIRECTORIES = 10;

// Of those, directories opened and waiting for an idle worker to list them;
// beyond this a worker walks what it finds itself, depth first.
inline constexpr std::size_t MAX_QUEUED_DIRECTORIES = 4;

// An entry's own type: a link is a link, whatever it points at.
enum class EntryType { directory, regular_file, symbolic_link, other };

struct WalkEntry {
  // The entry's own name (for the root: its last normal component, or the
  // whole root text when there is none, as for ".", ".." or "/"). Raw bytes.
  std::string_view name;
  std::size_t depth;
  EntryType type;
};

struct ScanCandidate {
  // The path below the root, names joined by "/", as UTF-8 text.
  std::string path;
  // False when some name was not UTF-8 and was replaced by U+FFFD: the text
  // then no longer names the file it came from, so it is never opened.
  bool path_names_file;
};

bool is_skipped_directory(const WalkEntry& entry);

// A regular file (by its own type) whose extension, the bytes after the last
// "." of a name that does not merely start with ".", is one of `extensions`.
bool has_selected_extension(const WalkEntry& entry, const std::vector<std::string>& extensions);

// Walks the tree below `root` (followed if it is a link; links below it are
// neither followed nor selected) on the worker pool and gives one candidate
// per selected file, in no particular order. Errors of the walk only make the
// list shorter; memory refused is thrown, as std::bad_alloc.
std::vector<ScanCandidate> collect_candidate_paths(std::string_view root,
                                                   const std::vector<std::string>& extensions);

}  // namespace marblewick
