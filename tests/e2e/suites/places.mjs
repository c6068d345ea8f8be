// A member is never locked out by their own window: a reload keeps the place,
// and a window whose place has ended (a new login elsewhere) says so and
// offers to enter again instead of trying its old key over and over.
import fs from "node:fs";
import path from "node:path";
import {
  sleep, server, newPage, frame, waitText, enter, submitEntry, register, say, chatRuns, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

test("a reload keeps a member in the chat", async () => {
  const page = await newPage();
  await register(page, "rita", "ritapw");
  await enter(page, "rita", "Members", { password: "ritapw" });
  for (let i = 0; i < 3; i++) {
    await page.reload({ waitUntil: "load" });
    await chatRuns(page, "rita");
  }
  await say(page, "still here after the reloads");
  await waitText(page, "board", "still here after the reloads");
});

test("a window whose place ended asks for the password once instead of retrying", async () => {
  const old = await newPage();
  await register(old, "sven", "svenpw");
  await enter(old, "sven", "Members", { password: "svenpw" });
  const entries = [];
  old.on("request", (r) => { if (r.url().includes("chat.ghp")) entries.push(r.url()); });
  // A second login takes the place over; the first window's key has ended.
  const now = await enter(await newPage(), "sven", "Members", { password: "svenpw" });
  await old.waitForFunction(() => !document.getElementById("again").hidden, null, { timeout: 60_000 });
  const said = await old.innerText("#banner");
  expect(/has ended/.test(said), "the banner says: " + said);
  // It waits for the member: no more entries with the old key.
  const tried = entries.length;
  await sleep(12_000);
  expect(entries.length === tried, `the old window tried ${entries.length - tried} more entries`);
  expect(tried === 1, `${tried} entries with the old key`);
  // The other window is still in; the old one comes back with the password.
  await say(now, "the new window speaks");
  await old.fill("#againpass", "svenpw");
  await old.click("#again button");
  await old.waitForFunction(() => document.getElementById("banner").hidden, null, { timeout: 20_000 });
  await say(old, "the old window is back");
  await waitText(old, "board", "the old window is back");
  await frame(old, "users").waitForFunction(() => document.body.innerText.includes("sven"));
});

test("the profile form tells no missing name from a wrong password", async () => {
  const page = await newPage();
  await register(page, "profq", "profqpw");
  const answers = await page.evaluate(async () => {
    const ask = async (name, pass) => {
      const r = await fetch("registresult.htm?change", { method: "POST", cache: "no-store",
        headers: { "Content-Type": "application/x-www-form-urlencoded" },
        body: "UserName=" + encodeURIComponent(name) + "&Password=" + encodeURIComponent(pass) });
      return r.text();
    };
    return [await ask("profq", "guess"), await ask("nobodyhere", "guess"), await ask("nobodyhere", "")];
  });
  expect(answers[0].includes("Invalid username or password"), "wrong password: " + answers[0]);
  expect(answers[1] === answers[0] && answers[2] === answers[0], "answers differ: " + JSON.stringify(answers));
});

// Runs `fn` with the server restarted on `MaxFailedLogins=<bound>` (the
// suites lift the bound), and restarts it as it was afterwards.
async function withLoginBound(bound, fn) {
  const ini = path.join(server.program, "option.ini");
  const lifted = fs.readFileSync(ini, "utf8");
  expect(/MaxFailedLogins=0\r\n/.test(lifted), "option.ini of the suites has changed");
  await server.halt();
  fs.writeFileSync(ini, lifted.replace("MaxFailedLogins=0\r\n", `MaxFailedLogins=${bound}\r\n`));
  try {
    await server.start();
    await fn();
  } finally {
    await server.halt();
    fs.writeFileSync(ini, lifted);
    await server.start();
  }
}

// What the start page answers an entry with.
async function entryAnswer(page, name, password) {
  await submitEntry(page, name, "Members", { password });
  await page.waitForFunction(() => document.querySelector('iframe[name="chatsubmit"]') ||
                                    document.querySelector("#login-error.refused"));
  return (await page.$('iframe[name="chatsubmit"]')) ? "in" : page.innerText("#login-error");
}

test("reloads and ended windows count nothing toward the bound of failed logins; guesses do", async () => {
  // Everybody here comes from 127.0.0.1: one network with room for 3 failures.
  await withLoginBound(3, async () => {
    const member = await newPage();
    await register(member, "lockm", "lockmpw");
    await register(member, "lockn", "locknpw");
    // A guest reloads the window five times.
    const guest = await enter(await newPage(), "lockg", "Lobby");
    for (let i = 0; i < 5; i++) {
      await guest.reload({ waitUntil: "load" });
      await chatRuns(guest, "lockg");
    }
    // A member logs in again elsewhere, three times: each time the window
    // before is told its place ended, and a reload of it (F5) tries its key
    // once more and is told the same.
    let holder = await enter(member, "lockm", "Members", { password: "lockmpw" });
    for (let i = 0; i < 3; i++) {
      const ended = holder;
      holder = await enter(await newPage(), "lockm", "Members", { password: "lockmpw" });
      await ended.waitForFunction(() => !document.getElementById("again").hidden, null, { timeout: 30_000 });
      await ended.reload({ waitUntil: "load" });
      await ended.waitForSelector("#login-error.refused");
      const said = await ended.innerText("#login-error");
      expect(/has ended/.test(said), "a reload of an ended window: " + said);
      expect(ended.errors.length === 0, ended.errors.join("; "));
    }
    await holder.reload({ waitUntil: "load" });
    await chatRuns(holder, "lockm");
    // Nothing of that was a failure: both members still enter.
    expect((await entryAnswer(await newPage(), "lockn", "locknpw")) === "in", "lockn was locked out");
    await say(holder, "lockm is still in");
    await waitText(holder, "board", "lockm is still in");
    // The bound holds for real guesses: three wrong passwords lock the
    // network out, the right one included.
    const guesser = await newPage();
    for (let i = 0; i < 3; i++) {
      const said = await entryAnswer(guesser, "lockn", "guess" + i);
      expect(/Invalid username or password/.test(said), "a guess was answered: " + said);
    }
    const said = await entryAnswer(guesser, "lockn", "locknpw");
    expect(/Too many failed logins/.test(said), "the bound let a fourth try in: " + said);
    for (const p of [guest, holder]) expect(p.errors.length === 0, p.errors.join("; "));
  });
});
