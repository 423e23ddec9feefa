// The "scan" command. The walk, then reading and digesting the kept files
// (or, for those whose status the caller knows, asking for their status) run
// on the worker pool; the sort and the gathering run on the calling thread.
// Each file is taken in pieces, so a worker holds about 1 MiB whatever the
// sizes of the files it meets.
#include "inventory/scan_command.h"

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "inventory/file_digest.h"
#include "inventory/scan_path.h"
#include "inventory/scan_status.h"
#include "inventory/scan_walk.h"
#include "inventory/worker_pool.h"

namespace marblewick {
namespace {

// What "scan" reports of one kept file.
struct ScanEntry {
  std::string file_hash;
  std::string path;
  std::uint64_t total_lines;
  // False for a file whose status equalled the one the caller knew: it was
  // not opened, and nothing else of it is reported.
  bool read;
  // As the file was opened; none when the system gave none.
  std::optional<FileStatus> status;
};

// Reads root + "/" + relative_path (the relative text alone when it starts
// with "/") and gives its digest and line count, or summarize_text_file's
// error: the scan decides by its kind whether the file is left out or the
// whole scan fails. When `known` is given and the file's status equals it,
// the file is not read. Safe on worker threads.
Expected<ScanEntry> build_scan_entry(std::string_view root, std::string_view relative_path,
                                     const std::optional<FileStatus>& known) {
  std::string path;
  path.reserve(root.size() + 1 + relative_path.size());
  append_joined_path(path, root, relative_path);

  if (known) {
    if (current_status(path) == known) {
      return ScanEntry{std::string(), std::string(relative_path), 0, false, std::nullopt};
    }
  }
  Expected<TextFileSummary> summary = summarize_text_file(path);
  if (!summary) return std::move(summary).error();
  return ScanEntry{std::move(summary.value().digest), std::string(relative_path), summary.value().total_lines,
                   true, summary.value().status};
}

// Every string element with its leading dots removed (".py" and "..py" select
// py, "." selects the empty extension); other elements are dropped. An array
// without strings selects nothing rather than falling back to the defaults.
std::vector<std::string> extension_list(const JsonValue& payload) {
  const JsonArray* given = payload.array_field("extensions");
  if (given == nullptr) return {DEFAULT_EXTENSIONS.begin(), DEFAULT_EXTENSIONS.end()};
  std::vector<std::string> extensions;
  for (const JsonValue& element : *given) {
    const std::string* text = element.as_string();
    if (text == nullptr) continue;
    std::size_t first_kept = text->find_first_not_of('.');
    extensions.push_back(first_kept == std::string::npos ? std::string() : text->substr(first_kept));
  }
  return extensions;
}

// A fact about the file itself (it cannot be opened or read, is no regular
// file, or is not UTF-8): a scan only ever gets shorter because of it. Any
// other failure (memory refused) says nothing about the file and fails the
// whole scan.
bool leaves_file_out(ErrorKind kind) {
  return kind == ErrorKind::file_system || kind == ErrorKind::not_regular_file ||
         kind == ErrorKind::invalid_utf8;
}

// One slot per candidate, each written by exactly one worker, so the entries
// come back in candidate order however the work was shared out. Once a file
// fails the scan, the workers start no further file.
Expected<std::vector<std::optional<ScanEntry>>> build_scan_entries(
    std::string_view root, const std::vector<ScanCandidate>& candidates, const JsonObject* known) {
  std::vector<std::optional<ScanEntry>> slots(candidates.size());
  if (candidates.empty()) return slots;
  std::atomic<bool> failed{false};
  std::mutex failure_mutex;
  std::optional<ErrorText> failure;
  WorkerPool::shared().for_each_range(candidates.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
      const ScanCandidate& candidate = candidates[i];
      // A path whose names were made valid UTF-8 by replacement names some
      // other file, or none: reading it could report another file's digest.
      if (!candidate.path_names_file) continue;
      Expected<ScanEntry> entry = build_scan_entry(
          root, candidate.path, known != nullptr ? known_status_of(*known, candidate.path) : std::nullopt);
      if (entry) {
        slots[i].emplace(std::move(entry).value());
      } else if (!leaves_file_out(entry.error().kind)) {
        std::lock_guard<std::mutex> lock(failure_mutex);
        if (!failure) failure.emplace(std::move(entry).error());
        failed.store(true, std::memory_order_relaxed);
      }
    }
  });
  if (failure) return std::move(*failure);
  return slots;
}

}  // namespace

CommandResult scan_command(const JsonValue& payload) {
  const std::string* root = payload.string_field("root");
  if (root == nullptr) return missing_field_error("root");
  const std::uint64_t limit = payload.count_field("max_files").value_or(DEFAULT_MAX_FILES);
  const std::vector<std::string> extensions = extension_list(payload);
  const bool with_status = payload.flag_field("status");
  const JsonObject* known = payload.object_field("known");

  std::vector<ScanCandidate> candidates = collect_candidate_paths(*root, extensions);
  // Byte order of the whole texts (std::string compares bytes as unsigned).
  // A real name carrying U+FFFD comes before the lossy text of another name
  // that reads the same, so the limit never keeps a path that names no file in
  // its place; candidates equal in both are interchangeable (the same name, or
  // two that are never reported), so the walk's order is never seen.
  std::sort(candidates.begin(), candidates.end(), [](const ScanCandidate& a, const ScanCandidate& b) {
    int order = a.path.compare(b.path);
    if (order != 0) return order < 0;
    return a.path_names_file && !b.path_names_file;
  });
  // The limit is applied before any file is opened.
  if (candidates.size() > limit) candidates.resize(static_cast<std::size_t>(limit));

  Expected<std::vector<std::optional<ScanEntry>>> built = build_scan_entries(*root, candidates, known);
  candidates = {};
  if (!built) return std::move(built).error();
  std::vector<std::optional<ScanEntry>>& slots = built.value();

  std::size_t produced = static_cast<std::size_t>(
      std::count_if(slots.begin(), slots.end(), [](const auto& slot) { return slot.has_value(); }));
  JsonArray entries;
  entries.reserve(produced);
  for (std::optional<ScanEntry>& slot : slots) {
    if (!slot) continue;
    JsonObject entry;
    // A file not read is the caller's already: its path says which.
    if (slot->read) {
      entry.emplace("file_hash", std::move(slot->file_hash));
      entry.emplace("total_lines", JsonValue::count(slot->total_lines));
      if (with_status) entry.emplace("status", status_value(slot->status));
    }
    entry.emplace("path", std::move(slot->path));
    entries.emplace_back(std::move(entry));
    slot.reset();
  }

  JsonObject result;
  result.emplace("count", JsonValue::count(entries.size()));
  result.emplace("entries", std::move(entries));
  return success_object(std::move(result));
}

}  // namespace marblewick
