// ChoiceFeed: the choices of a one-query search arriving in input order from a producer thread
// while the scan already reads the ones that have arrived. The producer adds entries and
// publishes them now and then, and closes the feed at the end (or aborts it: the scan stops and
// its result means nothing). Readers wait for the entries they want. Texts are views: the
// producer keeps them alive and unchanged until every reader is done.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

namespace simsieve {

class ChoiceFeed {
 public:
  // Room for `capacity` entries: entries never move while readers read them.
  explicit ChoiceFeed(size_t capacity);

  // Producer side. add() throws std::length_error past the capacity.
  void add(std::string_view utf8, uint32_t code_points);
  void skip() { ++next_index_; }  // the next input position is absent
  // Makes the entries added so far visible; cheap enough to call every few hundred entries.
  void publish();
  void close();  // publishes everything; no entry follows
  void abort();  // readers stop waiting; nothing they found counts

  // Reader side. Waits until entries [0, end) are published, or the feed is closed or aborted,
  // and returns the number of entries available then (end at most).
  size_t wait_for(size_t end) const;
  bool aborted() const { return aborted_.load(std::memory_order_acquire); }

  // Entry k (published): its text, length in code points and input position.
  std::string_view text(size_t k) const { return entries_[k].text; }
  uint32_t length(size_t k) const { return entries_[k].length; }
  uint64_t index(size_t k) const { return entries_[k].index; }
  bool ascii(size_t k) const { return entries_[k].text.size() == entries_[k].length; }
  bool sorted() const { return false; }  // entries come in input order
  // Starts loading the text of entry k (published) into the cache.
  void prefetch(size_t k) const {
    const std::string_view t = entries_[k].text;
    __builtin_prefetch(t.data());
    if (t.size() > 32) __builtin_prefetch(t.data() + 63);
  }

 private:
  struct Entry {  // no initializers: entries are written before they are published
    std::string_view text;
    uint32_t length;
    uint64_t index;
  };
  std::unique_ptr<Entry[]> entries_;
  size_t capacity_;
  size_t count_ = 0;        // added (producer only)
  uint64_t next_index_ = 0;  // producer only
  std::atomic<size_t> published_{0};
  std::atomic<bool> closed_{false};
  std::atomic<bool> aborted_{false};
  std::atomic<uint32_t> epoch_{0};  // bumped on every publish, close and abort; readers wait on it
};

}  // namespace simsieve
