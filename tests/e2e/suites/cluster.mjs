// Two nodes sharing one chat through a private Redis, behind the README's
// nginx block for several nodes (round robin, no sticky sessions): two
// visitors entering through it see each other and each other's lines, once
// each, whichever node answers each of their requests.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import {
  Skipped, sleep, closeContexts, newPage, frameText, waitText, say, expect, enterVia, startServer,
} from "../lib.mjs";
import { nginx } from "./nginx.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

const here = path.dirname(fileURLToPath(import.meta.url));
const dist = path.resolve(process.argv[2] || path.join(here, "../../../build/dist"));
const REDIS = process.env.REDIS_SERVER || "/usr/bin/redis-server";

// The README's nginx upstream and location for several nodes, pointed at
// `nodes` (addresses "127.0.0.1:port").
function readmeCluster(nodes) {
  const readme = fs.readFileSync(path.join(here, "../../../README.md"), "utf8");
  const section = readme.split(/^### Three nodes behind a load balancer$/m)[1] || "";
  const upstream = /upstream tavella \{([^}]*)\}/.exec(section);
  const location = /location \/ \{([^}]*)\}/.exec(section);
  if (!upstream || !location) throw new Error("the README shows no nginx upstream and location for several nodes");
  const servers = upstream[1].split("\n").filter((l) => /^\s*server /.test(l));
  expect(servers.length === 3, "the README's upstream does not list three nodes");
  const options = /server \S+( [^;]*)?;/.exec(servers[0])[1] || "";
  const others = upstream[1].split("\n").filter((l) => l.trim() && !/^\s*server /.test(l)).join("\n");
  return {
    upstream: `  upstream tavella {\n${nodes.map((n) => `    server ${n}${options};`).join("\n")}\n${others}\n  }\n`,
    location: location[1],
  };
}

// A private Redis on a Unix socket of a temporary folder, with a password.
async function privateRedis() {
  if (!fs.existsSync(REDIS)) throw new Skipped(`no redis-server at ${REDIS} (scripts/install-deps.sh test installs it)`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "tvl-redis-"));
  const socket = path.join(dir, "redis.sock");
  const child = spawn(REDIS, ["--port", "0", "--unixsocket", socket, "--unixsocketperm", "700",
                              "--save", "", "--appendonly", "no", "--requirepass", "e2e secret",
                              "--dir", dir], { stdio: "ignore" });
  let exited = false;
  child.once("exit", () => { exited = true; });
  for (const deadline = Date.now() + 10_000; !fs.existsSync(socket); await sleep(50))
    if (exited || Date.now() > deadline) throw new Error("redis-server did not start");
  return {
    socket,
    stop: async () => {
      if (!exited) child.kill("SIGTERM");
      for (let i = 0; i < 50 && !exited; i++) await sleep(100);
      if (!exited) child.kill("SIGKILL");
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

const count = (text, line) => text.split(line).length - 1;

test("two visitors through nginx round robin over two nodes see each other and every line once", async () => {
  const redis = await privateRedis();
  const nodes = [];
  let front = null;
  try {
    for (const name of ["east", "west"])
      nodes.push(await startServer(dist, {
        ini: `[Cluster]\r\nRedis=${redis.socket}\r\nRedisPassword=e2e secret\r\nNode=${name}\r\n` }));
    const cfg = readmeCluster(nodes.map((n) => `127.0.0.1:${n.port}`));
    front = await nginx({ cluster: cfg.location },
                        `  log_format up '$upstream_addr $request_uri';\n  access_log ACCESS up;\n${cfg.upstream}`
                          .replace("ACCESS", path.join(os.tmpdir(), `tvl-cluster-${process.pid}.log`)));
    const via = front.base.cluster;
    const ann = await enterVia(await newPage(), via, "hedda", "Lobby");
    const bob = await enterVia(await newPage(), via, "ingmar", "Lobby");
    await waitText(ann, "users", "ingmar");
    await waitText(bob, "users", "hedda");
    const lines = [];
    for (let i = 1; i <= 4; i++) {
      const [who, line] = i % 2 ? [ann, `hedda over the nodes ${i}.`] : [bob, `ingmar over the nodes ${i}.`];
      await say(who, line);
      lines.push(line);
    }
    for (const page of [ann, bob]) {
      await waitText(page, "board", lines[lines.length - 1]);
      const shown = await frameText(page, "board");
      const counts = lines.map((l) => count(shown, l));
      expect(counts.every((n) => n === 1), "lines lost or doubled: " + counts.join(","));
      const order = lines.map((l) => shown.indexOf(l));
      expect(order.every((at, i) => i === 0 || at > order[i - 1]), "lines out of order: " + order.join(","));
      expect(page.errors.length === 0, "script errors: " + page.errors.join("; "));
    }
    // Both nodes answered the windows' requests.
    const log = fs.readFileSync(path.join(os.tmpdir(), `tvl-cluster-${process.pid}.log`), "utf8");
    for (const n of nodes)
      expect(log.includes(`127.0.0.1:${n.port} `), `node on ${n.port} answered nothing`);
  } finally {
    await closeContexts();
    if (front) await front.stop();
    for (const n of nodes) await n.stop().catch(() => {});
    await redis.stop();
    fs.rmSync(path.join(os.tmpdir(), `tvl-cluster-${process.pid}.log`), { force: true });
  }
});
