// Record-file engine against SQLite on the same work, in one run:
// 100000 inserts of records with an integer key and a 32-byte string key,
// 100000 seeks of random keys (the two keys in turn), a walk of all records
// in the order of each key, and deletes of half the records. SQLite gets one
// table with the same two unique indexes, each phase inside one transaction,
// synchronous=OFF. Prints operations per second of each phase for both and
// the ratios (record file / SQLite).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "storage/record_file_create.h"

namespace {

constexpr int kRecords = 100000;
constexpr int kSeeks = 100000;

struct Data {
  std::vector<int32_t> ids;         // insertion order (shuffled)
  std::vector<std::string> names;   // 32 characters each, distinct
  std::vector<int> seek_order;      // record indexes to seek
};

const Data& data() {
  static Data d = [] {
    Data d;
    std::mt19937 rng(4242);
    for (int i = 0; i < kRecords; ++i) d.ids.push_back(i * 7 + 3);
    std::shuffle(d.ids.begin(), d.ids.end(), rng);
    static const char kAlpha[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int i = 0; i < kRecords; ++i) {
      std::string s(32, 'x');
      for (char& c : s) c = kAlpha[rng() % 62];
      std::snprintf(s.data() + 24, 9, "%08d", i);  // distinct tail
      s.resize(32);
      d.names.push_back(s);
    }
    for (int i = 0; i < kSeeks; ++i) d.seek_order.push_back(int(rng() % kRecords));
    return d;
  }();
  return d;
}

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Best rate per engine and phase over all repetitions.
std::map<std::string, std::map<std::string, double>> g_best;
void note(benchmark::State& state, const std::string& engine, const std::string& phase, double ops,
          double secs) {
  double rate = ops / secs;
  state.counters[phase + "/s"] = rate;
  double& best = g_best[engine][phase];
  best = std::max(best, rate);
}

std::string temp_folder() {
  char tmpl[] = "/tmp/tvl_bench_XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? std::string(d) + "/" : std::string("/tmp/");
}

void BM_RecordFile(benchmark::State& state) {
  const Data& d = data();
  std::string folder = temp_folder(), path = folder + "bench.sdb";
  for (auto _ : state) {
    tvl::RecordSchema s;
    s.fields = {{"id", tvl::FT_INT, 0}, {"name", tvl::FT_STRING, 32},
                {"amount", tvl::FT_DOUBLE, 0}, {"note", tvl::FT_STRING, 32}};
    tvl::RecordKeySpec k0, k1;
    k0.segments = {tvl::RecordSegmentSpec{0, 1, 0, 0}};
    k1.segments = {tvl::RecordSegmentSpec{1, 1, 0, 0}};
    s.keys = {k0, k1};
    tvl::Reason err;
    if (!tvl::create_record_file(path, s, err)) {
      state.SkipWithError(err.text.c_str());
      return;
    }
    tvl::RecordFile f;
    auto t = Clock::now();
    f.open(path);
    for (int i = 0; i < kRecords; ++i) {
      double amount = i * 0.25;
      f.set_field(&d.ids[i], 0);
      f.set_field(d.names[i].c_str(), 1);
      f.set_field(&amount, 2);
      f.set_field("a note of some length", 3);
      if (!f.insert_record()) {
        state.SkipWithError("insert failed");
        return;
      }
    }
    (void)f.close();  // measured, not checked
    note(state, "recordfile", "insert", kRecords, seconds_since(t));

    f.open(path);
    t = Clock::now();
    double sum = 0;
    for (int i = 0; i < kSeeks; ++i) {
      int r = d.seek_order[i];
      bool ok = i % 2 ? f.seek_key(1, d.names[r].c_str()) : f.seek_key(0, &d.ids[r]);
      double amount = 0;
      if (!ok || !f.get_field(&amount, 2)) {
        state.SkipWithError("seek failed");
        return;
      }
      sum += amount;
    }
    note(state, "recordfile", "seek", kSeeks, seconds_since(t));

    t = Clock::now();
    long walked = 0;
    for (int key = 0; key < 2; ++key) {
      for (bool ok = f.move_first(key); ok; ok = f.move_next(key)) {
        int32_t id;
        f.get_field(&id, 0);
        sum += id;
        ++walked;
      }
    }
    note(state, "recordfile", "walk", double(walked), seconds_since(t));
    if (walked != 2L * kRecords) state.SkipWithError("walk incomplete");

    t = Clock::now();
    for (int i = 0; i < kRecords; i += 2) {
      if (!f.seek_key(0, &d.ids[i]) || !f.delete_record()) {
        state.SkipWithError("delete failed");
        return;
      }
    }
    (void)f.close();  // measured, not checked
    note(state, "recordfile", "delete", kRecords / 2, seconds_since(t));
    benchmark::DoNotOptimize(sum);
  }
  unlink(path.c_str());
  rmdir(folder.c_str());
}

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void BM_SQLite(benchmark::State& state) {
  const Data& d = data();
  std::string folder = temp_folder(), path = folder + "bench.db";
  for (auto _ : state) {
    unlink(path.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
      state.SkipWithError("sqlite3_open");
      return;
    }
    exec(db, "PRAGMA synchronous=OFF");
    exec(db, "CREATE TABLE t(id INTEGER, name TEXT, amount REAL, note TEXT)");
    exec(db, "CREATE UNIQUE INDEX t_id ON t(id)");
    exec(db, "CREATE UNIQUE INDEX t_name ON t(name)");
    sqlite3_stmt *ins, *by_id, *by_name, *del;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?,?)", -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "SELECT id,name,amount,note FROM t WHERE id=?", -1, &by_id, nullptr);
    sqlite3_prepare_v2(db, "SELECT id,name,amount,note FROM t WHERE name=?", -1, &by_name, nullptr);
    sqlite3_prepare_v2(db, "DELETE FROM t WHERE id=?", -1, &del, nullptr);

    auto t = Clock::now();
    exec(db, "BEGIN");
    for (int i = 0; i < kRecords; ++i) {
      sqlite3_bind_int(ins, 1, d.ids[i]);
      sqlite3_bind_text(ins, 2, d.names[i].data(), 32, SQLITE_STATIC);
      sqlite3_bind_double(ins, 3, i * 0.25);
      sqlite3_bind_text(ins, 4, "a note of some length", -1, SQLITE_STATIC);
      if (sqlite3_step(ins) != SQLITE_DONE) {
        state.SkipWithError("insert failed");
        return;
      }
      sqlite3_reset(ins);
    }
    exec(db, "COMMIT");
    note(state, "sqlite", "insert", kRecords, seconds_since(t));

    t = Clock::now();
    exec(db, "BEGIN");
    double sum = 0;
    for (int i = 0; i < kSeeks; ++i) {
      int r = d.seek_order[i];
      sqlite3_stmt* q = i % 2 ? by_name : by_id;
      if (i % 2)
        sqlite3_bind_text(q, 1, d.names[r].data(), 32, SQLITE_STATIC);
      else
        sqlite3_bind_int(q, 1, d.ids[r]);
      if (sqlite3_step(q) != SQLITE_ROW) {
        state.SkipWithError("seek failed");
        return;
      }
      sum += sqlite3_column_double(q, 2);
      sqlite3_reset(q);
    }
    exec(db, "COMMIT");
    note(state, "sqlite", "seek", kSeeks, seconds_since(t));

    t = Clock::now();
    exec(db, "BEGIN");
    long walked = 0;
    for (const char* sql : {"SELECT id,name,amount,note FROM t ORDER BY id",
                            "SELECT id,name,amount,note FROM t ORDER BY name"}) {
      sqlite3_stmt* q;
      sqlite3_prepare_v2(db, sql, -1, &q, nullptr);
      while (sqlite3_step(q) == SQLITE_ROW) {
        sum += sqlite3_column_int(q, 0);
        ++walked;
      }
      sqlite3_finalize(q);
    }
    exec(db, "COMMIT");
    note(state, "sqlite", "walk", double(walked), seconds_since(t));

    t = Clock::now();
    exec(db, "BEGIN");
    for (int i = 0; i < kRecords; i += 2) {
      sqlite3_bind_int(del, 1, d.ids[i]);
      sqlite3_step(del);
      sqlite3_reset(del);
    }
    exec(db, "COMMIT");
    note(state, "sqlite", "delete", kRecords / 2, seconds_since(t));
    for (auto* s : {ins, by_id, by_name, del}) sqlite3_finalize(s);
    sqlite3_close(db);
    benchmark::DoNotOptimize(sum);
  }
  unlink(path.c_str());
  rmdir(folder.c_str());
}

BENCHMARK(BM_RecordFile)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SQLite)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  data();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nbest of the repetitions, operations per second\n");
  std::printf("%-8s %14s %14s %8s\n", "phase", "record file", "SQLite", "ratio");
  for (const char* phase : {"insert", "seek", "walk", "delete"}) {
    double a = g_best["recordfile"][phase], b = g_best["sqlite"][phase];
    std::printf("%-8s %14.0f %14.0f %8.2f\n", phase, a, b, b > 0 ? a / b : 0.0);
  }
  return 0;
}
