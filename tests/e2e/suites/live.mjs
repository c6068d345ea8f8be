// The chat window's live stream: lines reach the window over one answer
// that stays open, in order and with almost no requests; a stream that
// breaks comes back without losing or repeating a line; behind a proxy that
// holds streams back the window notices and waits for lines instead.
import http from "node:http";
import { newPage, frameText, waitText, enter, chatRuns, say, expect, server, enterVia, bodyRequests } from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

// A proxy in front of the server on a port of its own. `hold`: answers
// without a length (event streams) are held back until they end, like a
// proxy that buffers them and ignores X-Accel-Buffering. cut() breaks every
// connection it carries at that moment.
function proxy({ hold = false } = {}) {
  const sockets = new Set();
  const srv = http.createServer((req, res) => {
    const up = http.request({ host: "127.0.0.1", port: server.port, method: req.method, path: req.url,
                              headers: req.headers }, (answer) => {
      const streamed = !("content-length" in answer.headers);
      res.writeHead(answer.statusCode, answer.headers);
      if (hold && streamed) {
        const held = [];
        answer.on("data", (b) => held.push(b));
        answer.on("end", () => res.end(Buffer.concat(held)));
      } else {
        answer.pipe(res);
      }
    });
    up.on("error", () => res.destroy());
    // The browser went away (or cut() broke its side): so does the server's.
    res.on("close", () => { if (!res.writableFinished) up.destroy(); });
    req.pipe(up);
  });
  srv.on("connection", (s) => { sockets.add(s); s.on("close", () => sockets.delete(s)); });
  return new Promise((resolve) => srv.listen(0, "127.0.0.1", () => resolve({
    base: `http://127.0.0.1:${srv.address().port}`,
    cut: () => { for (const s of sockets) s.destroy(); },
    close: () => new Promise((r) => { for (const s of sockets) s.destroy(); srv.close(() => r()); }),
  })));
}


// How often each text stands on a pane.
async function occurrences(page, pane, texts) {
  const shown = await frameText(page, pane);
  return texts.map((t) => shown.split(t).length - 1);
}

test("ten lines reach a window over its stream, in order, with one request", async () => {
  const ann = await enter(await newPage(), "lena", "Lobby");
  const bobPage = await newPage();
  const asked = bodyRequests(bobPage);
  const bob = await enter(bobPage, "lars", "Lobby");
  await waitText(ann, "users", "lars");
  await waitText(bob, "board", "joined the chat room");
  expect(asked.some((q) => q.stream), "lars never opened a stream");
  const before = asked.length;
  const texts = [];
  for (let i = 1; i <= 10; i++) texts.push(`streamed line ${i}.`);
  for (const t of texts) await say(ann, t);
  await waitText(bob, "board", texts[9]);
  const shown = await frameText(bob, "board");
  const at = texts.map((t) => shown.indexOf(t));
  expect(at.every((p, i) => p >= 0 && (i == 0 || p > at[i - 1])), "lines out of order: " + at.join(","));
  const counts = await occurrences(bob, "board", texts);
  expect(counts.every((n) => n === 1), "lines shown more than once: " + counts.join(","));
  expect(asked.length - before <= 2, `${asked.length - before} questions for 10 lines`);
  for (const p of [ann, bob]) expect(p.errors.length === 0, "script errors: " + p.errors.join("; "));
});

test("a broken stream comes back without losing or repeating a line", async () => {
  const front = await proxy();
  try {
    const ann = await enter(await newPage(), "mona", "Lobby");
    const bobPage = await newPage();
    const asked = bodyRequests(bobPage);
    const bob = await enterVia(bobPage, front.base, "milo", "Lobby");
    await waitText(ann, "users", "milo");
    await say(ann, "before the break");
    await waitText(bob, "board", "before the break");
    const streams = asked.filter((q) => q.stream).length;
    front.cut();
    const during = ["while broken 1", "while broken 2", "while broken 3"];
    for (const t of during) await say(ann, t);
    await waitText(bob, "board", during[2]);
    await say(ann, "after the break");
    await waitText(bob, "board", "after the break");
    const counts = await occurrences(bob, "board", ["before the break", ...during, "after the break"]);
    expect(counts.every((n) => n === 1), "lines lost or doubled: " + counts.join(","));
    expect(asked.filter((q) => q.stream).length > streams, "milo never opened a new stream");
    expect(bob.errors.length === 0, "script errors: " + bob.errors.join("; "));
  } finally {
    await front.close();
  }
});

test("behind a proxy that holds streams back the window waits for lines instead", async () => {
  const front = await proxy({ hold: true });
  try {
    const ann = await enter(await newPage(), "nina", "Lobby");
    await say(ann, "said before niko came");
    const bobPage = await newPage();
    const asked = bodyRequests(bobPage);
    const bob = await enterVia(bobPage, front.base, "niko", "Lobby");
    // The room's recent lines come all the same, once.
    await waitText(bob, "board", "said before niko came");
    await waitText(ann, "users", "niko");
    await say(ann, "through the wait 1");
    await waitText(bob, "board", "through the wait 1");
    await say(ann, "through the wait 2");
    await waitText(bob, "board", "through the wait 2");
    const counts = await occurrences(bob, "board", ["said before niko came", "through the wait 1", "through the wait 2"]);
    expect(counts.every((n) => n === 1), "lines lost or doubled: " + counts.join(","));
    expect(asked.some((q) => q.stream), "niko never tried a stream");
    expect(asked.slice(-1)[0].wait, "niko does not wait for lines: " + JSON.stringify(asked.slice(-3)));
    const shown = await bob.evaluate(() => ({
      banner: document.getElementById("banner").hidden,
      notice: document.getElementById("notice").textContent,
    }));
    expect(shown.banner && shown.notice === "", "niko was told something: " + JSON.stringify(shown));
    expect(bob.errors.length === 0, "script errors: " + bob.errors.join("; "));
  } finally {
    await front.close();
  }
});

// The board's page comes late (a slow network, a busy machine) while the
// stream brings the room's lines at once: the lines wait for the board.
test("lines that come before the board's page is there are shown once it is", async () => {
  const ann = await enter(await newPage(), "olav", "Lobby");
  const said = "said before the board came";
  await say(ann, said);
  const bobPage = await newPage();
  await bobPage.route((u) => u.pathname.endsWith("/board.htm"), async (route) => {
    await new Promise((r) => setTimeout(r, 3000));
    await route.continue().catch(() => {});
  });
  const bob = await enter(bobPage, "pavel", "Lobby");
  await waitText(bob, "board", said);
  await say(ann, "after the late board");
  await waitText(bob, "board", "after the late board");
  const counts = await occurrences(bob, "board", [said, "after the late board"]);
  expect(counts.every((n) => n === 1), "lines lost or doubled: " + counts.join(","));
  expect(bob.errors.length === 0, "script errors: " + bob.errors.join("; "));
});
