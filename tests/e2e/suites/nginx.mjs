// The chat window behind a real nginx on loopback. A front that holds event
// streams back (buffering on, the server's X-Accel-Buffering ignored) makes
// the window wait for lines with one request at a time, and lines still
// come; a front that honours X-Accel-Buffering: no, and the README's own
// nginx block (proxy_buffering off), pass the stream through at once.
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import {
  Skipped, sleep, freePort, closeContexts, portOpen, newPage, frameText, waitText, enter, chatRuns, say, expect, server, enterVia, bodyRequests,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

const here = path.dirname(fileURLToPath(import.meta.url));
const NGINX = process.env.NGINX || "/usr/sbin/nginx";

// The directives of the README's nginx `location / { ... }` block, with its
// upstream address pointed at `upstream`.
export function readmeLocation(upstream) {
  const readme = fs.readFileSync(path.join(here, "../../../README.md"), "utf8");
  const section = readme.split(/^## Behind a reverse proxy$/m)[1] || "";
  const block = /^\s*nginx:\s*$[\s\S]*?location \/ \{([^}]*)\}/m.exec(section);
  if (!block) throw new Error("the README's nginx example has no location block");
  const body = block[1].replace(/http:\/\/127\.0\.0\.1:8080/g, `http://${upstream}`);
  expect(body.includes(upstream), "the README's nginx example does not pass to 127.0.0.1:8080");
  return body;
}

// One nginx (no daemon, no master, everything in a temporary folder) with a
// server block per front: { name: directives of its `location /` }, and
// `http` added to its http block (an upstream, a log). Resolves to
// { base: { name: address }, dir, stop() }; throws Skipped when there is no
// nginx to run.
export async function nginx(fronts, http = "  access_log off;\n") {
  if (!fs.existsSync(NGINX)) throw new Skipped(`no nginx at ${NGINX} (scripts/install-deps.sh test installs it)`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "tvl-nginx-"));
  const base = {};
  let servers = "";
  for (const [name, directives] of Object.entries(fronts)) {
    const port = await freePort();
    base[name] = `http://127.0.0.1:${port}`;
    servers += `  server {\n    listen 127.0.0.1:${port};\n    location / {\n${directives}\n    }\n  }\n`;
  }
  const temp = ["client_body", "proxy", "fastcgi", "uwsgi", "scgi"]
    .map((t) => `  ${t}_temp_path ${path.join(dir, t)};`).join("\n");
  fs.writeFileSync(path.join(dir, "nginx.conf"),
    `daemon off;\nmaster_process off;\npid ${path.join(dir, "nginx.pid")};\n` +
    `error_log ${path.join(dir, "error.log")} warn;\nevents { worker_connections 512; }\n` +
    `http {\n${http}${temp}\n${servers}}\n`);
  const check = spawnSync(NGINX, ["-t", "-q", "-p", dir, "-e", path.join(dir, "error.log"),
                                  "-c", path.join(dir, "nginx.conf")], { encoding: "utf8" });
  if (check.error) throw new Skipped(`nginx cannot run: ${check.error.message}`);
  if (check.status !== 0) throw new Error(`nginx refuses the configuration:\n${check.stderr}`);
  const out = fs.openSync(path.join(dir, "nginx.out"), "a");
  const child = spawn(NGINX, ["-p", dir, "-e", path.join(dir, "error.log"), "-c", path.join(dir, "nginx.conf")],
                      { stdio: ["ignore", out, out] });
  fs.closeSync(out);
  let exited = false;
  child.once("exit", () => { exited = true; });
  const stop = async () => {
    if (!exited) child.kill("SIGTERM");
    for (let i = 0; i < 50 && !exited; i++) await sleep(100);
    if (!exited) child.kill("SIGKILL");
    for (let i = 0; i < 50 && !exited; i++) await sleep(100);
    fs.rmSync(dir, { recursive: true, force: true });
  };
  for (const address of Object.values(base)) {
    const port = Number(new URL(address).port);
    for (const deadline = Date.now() + 10_000; !(await portOpen(port)); await sleep(100)) {
      if (exited || Date.now() > deadline) {
        const log = ["nginx.out", "error.log"].map((f) => {
          try { return fs.readFileSync(path.join(dir, f), "utf8"); } catch (e) { return ""; }
        }).join("");
        await stop();
        throw new Skipped(`nginx cannot run here: ${log.trim().slice(-300) || "it never listened"}`);
      }
    }
  }
  return { base, dir, stop };
}


async function occurrences(page, pane, texts) {
  const shown = await frameText(page, pane);
  return texts.map((t) => shown.split(t).length - 1);
}

const upstream = () => `127.0.0.1:${server.port}`;
// nginx's defaults, but for the Host the browser sent (the chat's posts
// must come from a page of the Host they are sent to).
const plain = () => `      proxy_pass http://${upstream()};\n      proxy_set_header Host $http_host;\n` +
                    `      proxy_buffering on;`;
const held = () => plain() + `\n      proxy_ignore_headers X-Accel-Buffering;`;
const honoured = plain;

test("behind nginx that buffers streams the window waits for lines instead, and gets them", async () => {
  const front = await nginx({ held: held() });
  try {
    const ann = await enter(await newPage(), "olga", "Lobby");
    // A history longer than nginx's buffers: their first ones pass, and the
    // rest of the first piece stays behind.
    for (let i = 0; i < 4; i++) await say(ann, `long line ${i} ` + "x".repeat(2500));
    await say(ann, "said before oskar came");
    const bobPage = await newPage();
    const asked = bodyRequests(bobPage);
    const bob = await enterVia(bobPage, front.base.held, "oskar", "Lobby");
    await waitText(ann, "users", "oskar");
    try {
      await waitText(bob, "board", "said before oskar came");
    } catch (e) {
      throw new Error(e.message + "\nquestions: " + JSON.stringify(asked));
    }
    // The stream brings nothing through this front: the window gives up on
    // it after a few seconds and waits for lines instead.
    for (let i = 0; i < 100 && !asked.some((q) => q.wait); i++) await sleep(200);
    expect(asked.some((q) => q.stream), "oskar never tried a stream");
    expect(asked.some((q) => q.wait), "oskar never went over to waiting: " + JSON.stringify(asked));
    const streams = asked.filter((q) => q.stream).length;
    const texts = ["held front 1", "held front 2", "held front 3"];
    for (const t of texts) {
      await say(ann, t);
      await waitText(bob, "board", t);
    }
    const counts = await occurrences(bob, "board", ["said before oskar came", ...texts]);
    expect(counts.every((n) => n === 1), "lines lost or doubled: " + counts.join(","));
    expect(asked.slice(-1)[0].wait, "oskar does not wait for lines: " + JSON.stringify(asked.slice(-3)));
    expect(asked.filter((q) => q.stream).length === streams, "oskar keeps opening streams");
    const shown = await bob.evaluate(() => ({
      banner: document.getElementById("banner").hidden,
      notice: document.getElementById("notice").textContent,
    }));
    expect(shown.banner && shown.notice === "", "oskar was told something: " + JSON.stringify(shown));
    expect(bob.errors.length === 0, "script errors: " + bob.errors.join("; "));
  } finally {
    // The windows leave while their front still carries their exit.
    await closeContexts();
    await front.stop();
  }
});

test("through nginx that honours X-Accel-Buffering, or the README's block, lines come over the stream", async () => {
  const front = await nginx({ honoured: honoured(), readme: readmeLocation(upstream()) });
  try {
    const ann = await enter(await newPage(), "petra", "Lobby");
    const names = { honoured: "wilbur", readme: "rufus" };
    for (const [kind, address] of Object.entries(front.base)) {
      const name = names[kind];
      const bobPage = await newPage();
      const asked = bodyRequests(bobPage);
      const bob = await enterVia(bobPage, address, name, "Lobby");
      await waitText(ann, "users", name);
      await waitText(bob, "board", "joined the chat room");
      const before = asked.length;
      const texts = [];
      for (let i = 1; i <= 5; i++) texts.push(`${kind} streamed ${i}.`);
      for (const t of texts) await say(ann, t);
      await waitText(bob, "board", texts[4]);
      const counts = await occurrences(bob, "board", texts);
      expect(counts.every((n) => n === 1), `${kind}: lines lost or doubled: ` + counts.join(","));
      expect(asked.some((q) => q.stream), `${kind}: ${name} never opened a stream`);
      expect(!asked.some((q) => q.wait), `${kind}: ${name} fell back to waiting`);
      expect(asked.length - before <= 1, `${kind}: ${asked.length - before} questions for 5 lines`);
      expect(bob.errors.length === 0, `${kind}: script errors: ` + bob.errors.join("; "));
    }
  } finally {
    // The windows leave while their front still carries their exit.
    await closeContexts();
    await front.stop();
  }
});
