// The chat window waits for lines: the lines of one visitor reach the other
// through waiting requests; a failing waiting form falls back to polls by
// itself; the window's rough edges (private lines, blank lines, colours, the
// start page's rooms).
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, newPage, frame, frameText, waitText, lobby, enter, say, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

// A browser without EventSource: the window waits for lines with one request
// at a time (the live stream has its own suite, live.mjs).
async function withoutStreams(page) {
  await page.addInitScript(() => { delete window.EventSource; });
  return page;
}

// Records the page's questions for new lines.
function bodyRequests(page) {
  const seen = [];
  page.on("request", (r) => {
    const u = new URL(r.url());
    if (u.pathname.endsWith("/body.ghp")) seen.push({ wait: u.search.includes("&wait=1"), at: Date.now() });
  });
  return seen;
}

test("lines reach a waiting window one by one, and a quiet room costs almost no requests", async () => {
  const ann = await enter(await newPage(), "wanda", "Lobby");
  const bobPage = await withoutStreams(await newPage());
  const asked = bodyRequests(bobPage);
  const bob = await enter(bobPage, "walt", "Lobby");
  await waitText(ann, "users", "walt");
  await waitText(bob, "board", "joined the chat room");
  const delays = [];
  for (let i = 1; i <= 5; i++) {
    const sent = Date.now();
    await say(ann, `waited line ${i}`);
    await waitText(bob, "board", `waited line ${i}`);
    delays.push(Date.now() - sent);
  }
  // Measured, not asserted: speed is the bench's business.
  console.log(`     post to walt's board: ${delays.join(", ")} ms`);
  expect(asked.some((q) => q.wait), "walt never waited for lines");
  // Nobody writes for 6 s: a polling window would ask three times.
  await sleep(1000);
  const before = asked.length;
  await sleep(6000);
  expect(asked.length - before <= 1, `${asked.length - before} questions in a quiet room`);
  expect(asked.slice(before).every((q) => q.wait), "walt went back to polling");
  for (const p of [ann, bob]) expect(p.errors.length === 0, "script errors: " + p.errors.join("; "));
});

test("a waiting form that a proxy breaks falls back to polls without a word", async () => {
  const carlPage = await withoutStreams(await newPage());
  // Like a proxy that gives up on long answers: every waiting request fails.
  await carlPage.route((u) => u.pathname.endsWith("/body.ghp") && u.search.includes("&wait=1"),
                       (route) => route.fulfill({ status: 504, contentType: "text/html", body: "Gateway Timeout" }));
  const asked = bodyRequests(carlPage);
  const carl = await enter(carlPage, "carla", "Lobby");
  const dora = await enter(await newPage(), "dorian", "Lobby");
  await waitText(carl, "users", "dorian");
  await say(dora, "through the polls");
  await waitText(carl, "board", "through the polls");
  await say(dora, "and once more");
  await waitText(carl, "board", "and once more");
  const tail = asked.slice(-2);
  expect(tail.length === 2 && tail.every((q) => !q.wait), "carla still asks the waiting form");
  const shown = await carl.evaluate(() => ({
    banner: document.getElementById("banner").hidden,
    notice: document.getElementById("notice").textContent,
  }));
  expect(shown.banner && shown.notice === "", "carla was told something: " + JSON.stringify(shown));
  expect(carl.errors.length === 0, "script errors: " + carl.errors.join("; "));
});

test("private lines are labelled, blank lines are not sent, colours read on the board", async () => {
  const eve = await enter(await newPage(), "evelyn", "Lobby");
  const fred = await enter(await newPage(), "fredo", "Lobby");
  await waitText(eve, "users", "fredo");
  await say(eve, "only for fredo", { to: "fredo", priv: true });
  await waitText(fred, "board", "only for fredo");
  const label = await frame(fred, "board").evaluate(() => {
    const l = document.querySelector(".line.priv > .head > .mark");
    return l ? l.textContent + "|" + l.closest(".line").querySelector(".text").textContent : "";
  });
  expect(label === "private|only for fredo", "private line not labelled: " + label);

  // A line of blanks goes nowhere; the next real line is the only new one.
  const lines = async () => (await frameText(fred, "board")).split("evelyn => All").length;
  const before = await lines();
  const f = frame(eve, "chatsubmit");
  await f.fill("#mtowho", "All");
  await f.setChecked("#mqqsay", false);
  await f.fill("#message", "    ");
  await f.click("#sendbutton");
  await say(eve, "after the blanks");
  await waitText(fred, "board", "after the blanks");
  expect((await lines()) === before + 1, "a blank line was posted");

  // Every offered colour, as the board shows it, has 4.5:1 against white.
  const values = await f.evaluate(() => [...document.querySelectorAll("#mfcolor option")].map((o) => o.value));
  for (const v of values) {
    await f.selectOption("#mfcolor", v);
    await say(eve, `colour ${v} here`);
  }
  await waitText(fred, "board", `colour ${values[values.length - 1]} here`);
  const ratios = await frame(fred, "board").evaluate(() => {
    const lum = (rgb) => {
      const c = rgb.match(/\d+/g).slice(0, 3).map((x) => {
        const s = Number(x) / 255;
        return s <= 0.03928 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4;
      });
      return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
    };
    const out = {};
    for (const el of document.querySelectorAll("font[color]")) {
      if (!/colour \d+ here/.test(el.textContent)) continue;
      out[el.getAttribute("color")] = 1.05 / (lum(getComputedStyle(el).color) + 0.05);
    }
    return out;
  });
  const low = Object.entries(ratios).filter(([, r]) => r < 4.5);
  expect(Object.keys(ratios).length >= values.length - 1, "colours not found: " + JSON.stringify(ratios));
  expect(low.length === 0, "colours below 4.5:1: " + JSON.stringify(low));
  fs.mkdirSync(artifacts, { recursive: true });
  await fred.screenshot({ path: path.join(artifacts, "private-label-colours.png") });
});

test("the start page says who may enter each room", async () => {
  const page = await newPage();
  await lobby(page);
  const access = await page.evaluate(() => Object.fromEntries(
    [...document.querySelectorAll("#rooms .room")].map((r) => [r.querySelector(".name").textContent,
                                                              (r.querySelector(".access") || {}).textContent])));
  expect(access.Lobby === "Guests welcome" && access.Members === "Members only" &&
         access.Staff === "Administrators only", "rooms say: " + JSON.stringify(access));
});
