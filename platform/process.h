// Processes: the running program's full path, running a helper program and
// waiting for it, spawning a program detached from the caller (its own
// session, standard streams on /dev/null), liveness and the stop signal.
// Programs are always started with fork/exec, never through a shell.
// Thread safety: every function may be called from any thread; the spawn
// functions fork, so only async-signal-safe work happens in the child.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace tvl {

// Full path of the running executable (from /proc/self/exe); empty when the
// link cannot be read.
std::string program_path();

int current_process_id();

// Runs `program` (looked up on PATH when it holds no "/") with `args`, waits
// for it and returns its exit status; -1 when it could not be started or did
// not exit normally. When `output` is given it receives everything the
// program wrote to standard output; standard error is passed through.
int run_program(const std::string& program, const std::vector<std::string>& args,
                std::string* output = nullptr);

// Starts `path` with `args` as a process of its own session that outlives
// the caller (double fork: the caller never has to reap it). Its standard
// streams are /dev/null and its working folder is "/". `on_spawned(pid)`
// runs in the caller after the process exists but before it may execute the
// program, so the caller can record the pid first. Returns the pid, or -1
// when nothing could be started (on_spawned is then not called). An exec
// that fails after that makes the process exit with status 127.
int spawn_detached(const std::string& path, const std::vector<std::string>& args,
                   const std::function<void(int pid)>& on_spawned);

// True while a process of that id exists and is not a zombie.
bool process_alive(int pid);

// Sends SIGTERM (the stop control of a service). False when it could not be
// delivered.
bool send_stop_signal(int pid);

}  // namespace tvl

namespace tvl {

// Raises the soft limit of open descriptors of the process to its hard
// limit (each connection holds one) and returns the soft limit in force
// afterwards; when raising fails the limit stays as it was and that value is
// returned. Safe to call more than once, from any thread.
long raise_descriptor_limit();

}  // namespace tvl
