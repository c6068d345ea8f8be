// A member is never locked out by their own window: a reload keeps the place,
// and a window whose place has ended (a new login elsewhere) says so and
// offers to enter again instead of trying its old key over and over.
import { sleep, newPage, frame, waitText, enter, register, say, chatRuns, expect } from "../lib.mjs";

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
