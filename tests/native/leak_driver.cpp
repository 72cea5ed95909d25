// Native-only workout of every core pipeline, for LeakSanitizer: built with -fsanitize=address by
// CI and run with leak detection on, so any allocation our code never frees is reported (the
// interpreter is not involved, so there is nothing to suppress). Also checks a few results.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cluster/cluster_exact.hpp"
#include "cluster/cluster_types.hpp"
#include "cluster/lsh_cluster.hpp"
#include "columns/export.hpp"
#include "columns/import.hpp"
#include "columns/result_tables.hpp"
#include "gestalt/column_batch.hpp"
#include "gestalt/batch.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/gestalt.hpp"
#include "pool/thread_budget.hpp"
#include "pool/worker_pool.hpp"
#include "rationer/interned_ratio.hpp"
#include "simjoin/cosine_join.hpp"
#include "simjoin/tfidf_corpus.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "leak driver check failed: %s\n", what);
    ++failures;
  }
}

// A utf8 Arrow column built here the way a producer would: heap buffers freed by its release
// callback, which counts its calls.
int column_releases = 0;

struct ProducedColumn {
  std::vector<int32_t> offsets;
  std::string data;
  std::vector<const void*> buffers;
};

ArrowArray produce_column(const std::vector<std::string>& items, bool corrupt) {
  auto owned = std::make_unique<ProducedColumn>();
  owned->offsets.push_back(0);
  for (const std::string& s : items) {
    owned->data += s;
    owned->offsets.push_back(static_cast<int32_t>(owned->data.size()));
  }
  if (corrupt && owned->offsets.size() > 2) owned->offsets[1] = owned->offsets.back() + 5;
  owned->buffers = {nullptr, owned->offsets.data(), owned->data.data()};
  ArrowArray array{};
  array.length = static_cast<int64_t>(items.size());
  array.n_buffers = 3;
  array.buffers = owned->buffers.data();
  array.release = [](ArrowArray* a) {
    std::unique_ptr<ProducedColumn>(static_cast<ProducedColumn*>(a->private_data));
    a->release = nullptr;
    ++column_releases;
  };
  array.private_data = owned.release();
  return array;
}

ArrowSchema produce_schema() {
  ArrowSchema schema{};
  schema.format = "u";
  schema.release = [](ArrowSchema* s) { s->release = nullptr; };
  return schema;
}

}  // namespace

int main() {
  using namespace simsieve;
  std::vector<std::string> names = {"john smith", "jon smith", "john smyth", "mary jones", "marie jones",
                                    "", "", "Zürich", "Zurich", "日本語テキスト", "acme corp", "acme corp."};
  for (int i = 0; i < 40; ++i) names.push_back("line " + std::to_string(i * 7919 % 1000) + " of text");

  expect(gestalt_ratio("abcd", "bcde") == 0.75, "ratio abcd/bcde");
  expect(gestalt_ratio(std::string(5000, 'a'), std::string(4999, 'a') + "b") == 2.0 * 4999 / 10000,
         "long repetitive ratio");

  std::vector<std::pair<std::string, std::string>> pairs;
  for (size_t i = 0; i < names.size(); ++i) pairs.emplace_back(names[i], names[(i * 5 + 3) % names.size()]);
  for (uint64_t threads : {0, 1, 3}) {
    std::vector<double> batch = ratio_batch(pairs, threads);
    expect(batch.size() == pairs.size(), "batch size");
    for (size_t i = 0; i < pairs.size(); ++i) expect(batch[i] == gestalt_ratio(pairs[i].first, pairs[i].second), "batch value");
  }
  std::vector<double> interned = interned_ratio_many(pairs);
  for (size_t i = 0; i < pairs.size(); ++i) expect(interned[i] == gestalt_ratio(pairs[i].first, pairs[i].second), "interned value");

  std::vector<std::vector<uint32_t>> code_points;
  for (const auto& n : names) code_points.push_back(decode_utf8(n));
  std::vector<CodepointView> views = codepoint_views(code_points);
  for (uint64_t threads : {0, 2}) {
    auto exact = with_thread_budget(threads, [&] { return cluster_exact(views, 0.8); });
    expect(!exact.empty(), "exact clusters");
    auto lsh = with_thread_budget(threads, [&] { return cluster_lsh(names, 0.5, 32, 2); });
    (void)lsh;
  }

  std::vector<TokenDocument> docs;
  for (const auto& n : names) {
    TokenDocument d;
    size_t start = 0;
    for (size_t i = 0; i <= n.size(); ++i) {
      if (i == n.size() || n[i] == ' ') {
        if (i > start) d.push_back(n.substr(start, i - start));
        start = i + 1;
      }
    }
    docs.push_back(std::move(d));
  }
  TfIdfCorpus corpus = build_tfidf_corpus(docs);
  auto joined = with_thread_budget(2, [&] { return join_corpus(corpus, 0.3); });
  auto direct = join_corpus_direct(corpus, 0.3);
  expect(joined.size() == direct.size(), "join paths agree");
  for (size_t k = 0; k < joined.size() && k < direct.size(); ++k) {
    expect(joined[k].j == direct[k].j && joined[k].i == direct[k].i && joined[k].cos == direct[k].cos,
           "join pair agrees");
  }

  // Arrow columns: import, read in place, refuse a malformed batch; export and release.
  {
    using namespace simsieve::columns;
    std::vector<OwnedArray> batches;
    for (int k = 0; k < 2; ++k) {
      ArrowArray raw = produce_column(names, false);
      batches.emplace_back(&raw);
    }
    ArrowSchema raw_schema = produce_schema();
    ImportedColumn column(OwnedSchema(&raw_schema), std::move(batches));
    expect(column.size() == 2 * names.size() && !column.first_fault(), "imported column");
    std::vector<double> ratios = ratio_columns(column.strings(), column.strings(), 2);
    expect(ratios.size() == column.size() && ratios[1] == 1.0, "ratios over a column");
    bool refused = false;
    try {
      std::vector<OwnedArray> bad;
      ArrowArray raw = produce_column(names, true);
      bad.emplace_back(&raw);
      ArrowSchema bad_schema = produce_schema();
      ImportedColumn broken(OwnedSchema(&bad_schema), std::move(bad));
    } catch (const ColumnError&) {
      refused = true;
    }
    expect(refused && column_releases == 1, "malformed batch refused and released");
    std::vector<Cluster> clusters = cluster_lsh(names, 0.8, 16, 2);
    ArrowArrayStream stream{};
    export_stream(clusters_table(clusters), &stream);
    ArrowSchema schema{};
    ArrowArray batch{};
    expect(stream.get_schema(&stream, &schema) == 0 && stream.get_next(&stream, &batch) == 0, "stream reads");
    expect(batch.release && batch.n_children == 3, "one batch of three columns");
    batch.release(&batch);
    schema.release(&schema);
    expect(stream.get_next(&stream, &batch) == 0 && !batch.release, "end of stream");
    stream.release(&stream);
    expect(live_exports() == 0, "every export released");
  }
  expect(column_releases == 3, "every imported batch released once");

  // A failure inside a pool job is propagated and frees what the job held.
  bool caught = false;
  try {
    with_thread_budget(2, [] {
      std::vector<int> held(1000, 1);
      throw std::runtime_error("job failure");
      return held.size();
    });
  } catch (const std::runtime_error&) {
    caught = true;
  }
  expect(caught, "failure propagated");

  if (failures) return EXIT_FAILURE;
  std::puts("leak driver: all checks passed");
  return EXIT_SUCCESS;
}
