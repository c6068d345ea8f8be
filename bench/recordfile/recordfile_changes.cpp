// The cost of making each change of a record file whole: changes one at a
// time, each its own open ... close (as `tvlctl room add` and the window
// make them), on a file that already holds --records records.
//   insert  a new record per change
//   update  one field of an existing record per change (found by its key)
// Built twice from this source: against the record-file engine of the tree
// (each close() writes a new file, flushes it, renames it over the old one
// and flushes the folder), with SQLite beside it (one transaction per
// change, rollback journal, synchronous=FULL: its crash-safe setting); and,
// with TVL_BENCH_IN_PLACE, against the sources of the engine before crash
// safety (pages changed in place, nothing flushed), which run.sh extracts.
// Each phase stops after --changes changes or --seconds seconds, whichever
// comes first. Prints one line per engine and phase: changes per second.
#include <unistd.h>

#ifndef TVL_BENCH_IN_PLACE
#include <sqlite3.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/record_file.h"
#include "storage/record_file_create.h"

namespace {

struct Options {
  int records = 100;   // in the file before the measured changes
  int changes = 300;   // at most, per phase
  double seconds = 5;  // at most, per phase
  std::string folder;  // where the files are made ("" : a new one in /tmp)
};

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string name_of(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "room number %08d of the bench", i);
  return text;
}

void report(const char* engine, const char* phase, int done, double secs) {
  std::printf("%-28s %-7s %8.0f changes/s  (%d in %.2f s)\n", engine, phase,
              secs > 0 ? done / secs : 0.0, done, secs);
  std::fflush(stdout);
}

// ---- the record file ------------------------------------------------------

bool make_record_file(const std::string& path, int records) {
  tvl::RecordSchema s;
  s.fields = {{"id", tvl::FT_INT, 0}, {"name", tvl::FT_STRING, 48},
              {"amount", tvl::FT_DOUBLE, 0}, {"note", tvl::FT_STRING, 32}};
  tvl::RecordKeySpec k0, k1;
  k0.segments = {tvl::RecordSegmentSpec{0, 1, 0, 0}};
  k1.segments = {tvl::RecordSegmentSpec{1, 1, 0, 0}};
  s.keys = {k0, k1};
#ifdef TVL_BENCH_IN_PLACE
  std::string why;  // the engine of then hands its reason back as a text
  const bool made = tvl::create_record_file(path, s, &why);
#else
  tvl::Reason reason;
  const bool made = tvl::create_record_file(path, s, reason);
  const std::string& why = reason.text;
#endif
  if (!made) {
    std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  tvl::RecordFile f;
  if (!f.open(path)) return false;
  for (int i = 0; i < records; ++i) {
    const double amount = i;
    const std::string name = name_of(i);
    f.set_field(&i, 0);
    f.set_field(name.c_str(), 1);
    f.set_field(&amount, 2);
    f.set_field("a note of some length", 3);
    if (!f.insert_record()) return false;
  }
  return f.close();
}

// One change: open, insert or update, close. False when it did not land.
bool record_file_change(const std::string& path, bool insert, int i, int records) {
  tvl::RecordFile f;
  if (!f.open(path)) return false;
  bool done;
  if (insert) {
    const int id = records + i;
    const double amount = id;
    const std::string name = name_of(id);
    f.set_field(&id, 0);
    f.set_field(name.c_str(), 1);
    f.set_field(&amount, 2);
    f.set_field("a note of some length", 3);
    done = f.insert_record();
  } else {
    const int id = i % records;
    const double amount = -i;
    done = f.seek_key(0, &id) && f.set_field(&amount, 2) && f.update_record();
  }
  return f.close() && done;
}

void run_record_file(const Options& o, const char* engine) {
  const std::string path = o.folder + "changes.sdb";
  for (bool insert : {true, false}) {
    ::unlink(path.c_str());
    if (!make_record_file(path, o.records)) return;
    const auto t = Clock::now();
    int done = 0;
    while (done < o.changes && seconds_since(t) < o.seconds) {
      if (!record_file_change(path, insert, done, o.records)) {
        std::fprintf(stderr, "%s: change %d failed\n", engine, done);
        return;
      }
      ++done;
    }
    report(engine, insert ? "insert" : "update", done, seconds_since(t));
  }
  ::unlink(path.c_str());
}

// ---- SQLite with its rollback journal ---------------------------------------

#ifndef TVL_BENCH_IN_PLACE
bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void run_sqlite(const Options& o) {
  const std::string path = o.folder + "changes.db";
  for (bool insert : {true, false}) {
    ::unlink(path.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return;
    bool ok = exec(db, "PRAGMA journal_mode=DELETE") && exec(db, "PRAGMA synchronous=FULL") &&
              exec(db, "CREATE TABLE t(id INTEGER, name TEXT, amount REAL, note TEXT)") &&
              exec(db, "CREATE UNIQUE INDEX t_id ON t(id)") &&
              exec(db, "CREATE UNIQUE INDEX t_name ON t(name)");
    sqlite3_stmt *ins = nullptr, *upd = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?,?)", -1, &ins, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "UPDATE t SET amount=? WHERE id=?", -1, &upd, nullptr) == SQLITE_OK;
    auto insert_one = [&](int id) {
      const std::string name = name_of(id);
      sqlite3_bind_int(ins, 1, id);
      sqlite3_bind_text(ins, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(ins, 3, id);
      sqlite3_bind_text(ins, 4, "a note of some length", -1, SQLITE_STATIC);
      const bool stepped = sqlite3_step(ins) == SQLITE_DONE;
      sqlite3_reset(ins);
      return stepped;
    };
    ok = ok && exec(db, "BEGIN");
    for (int i = 0; ok && i < o.records; ++i) ok = insert_one(i);
    ok = ok && exec(db, "COMMIT");
    const auto t = Clock::now();
    int done = 0;
    while (ok && done < o.changes && seconds_since(t) < o.seconds) {
      // One transaction per change, as the record file's open ... close.
      ok = exec(db, "BEGIN");
      if (insert) {
        ok = ok && insert_one(o.records + done);
      } else {
        sqlite3_bind_double(upd, 1, -done);
        sqlite3_bind_int(upd, 2, done % o.records);
        ok = ok && sqlite3_step(upd) == SQLITE_DONE;
        sqlite3_reset(upd);
      }
      ok = ok && exec(db, "COMMIT");
      if (ok) ++done;
    }
    if (ok) report("SQLite (journal, FULL sync)", insert ? "insert" : "update", done, seconds_since(t));
    else std::fprintf(stderr, "SQLite: %s\n", sqlite3_errmsg(db));
    sqlite3_finalize(ins);
    sqlite3_finalize(upd);
    sqlite3_close(db);
  }
  ::unlink(path.c_str());
  ::unlink((path + "-journal").c_str());
}
#endif

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strncmp(a, "--records=", 10)) o.records = std::atoi(a + 10);
    else if (!std::strncmp(a, "--changes=", 10)) o.changes = std::atoi(a + 10);
    else if (!std::strncmp(a, "--seconds=", 10)) o.seconds = std::atof(a + 10);
    else if (!std::strncmp(a, "--folder=", 9)) o.folder = a + 9;
    else return false;
  }
  return o.records > 0 && o.changes > 0 && o.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: %s [--records=N] [--changes=N] [--seconds=S] [--folder=DIR]\n", argv[0]);
    return 2;
  }
  const bool own_folder = o.folder.empty();
  if (own_folder) {
    char tmpl[] = "/tmp/tvl_bench_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    o.folder = tmpl;
  }
  if (o.folder.back() != '/') o.folder += '/';
#ifdef TVL_BENCH_IN_PLACE
  run_record_file(o, "record file, in place");
#else
  run_record_file(o, "record file, whole");
  run_sqlite(o);
#endif
  if (own_folder) ::rmdir(o.folder.c_str());
  return 0;
}
