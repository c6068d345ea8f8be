// Registration, profiles, finding a user, the picture page.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, base, server, newPage, frame, frameEval, frameText, waitText, waitNoText,
  lobby, enter, submitEntry, say, register, waitNotice, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

test("a visitor registers, enters as a member with the picture and changes the profile", async () => {
  const page = await newPage();
  const answer = await register(page, "mia", "miapw1", { icon: "7.gif", sex: "0", resume: "I like tea" });
  expect(answer.includes("Congratulations! Your Registration has been successful."), answer);
  // Members keep their own picture whatever the start page offered.
  await enter(page, "mia", "Members", { password: "miapw1", picture: 2 });
  const pics = await frameEval(page, "users", () => [...document.images].map((i) => i.getAttribute("src")));
  expect(pics.includes("/images/7.gif"), "member picture: " + pics);
  // A guest may not enter a members' room.
  const guest = await newPage();
  await lobby(guest);
  await guest.click('#rooms .room:has(.name:text-is("Members"))');
  await guest.fill("#username", "nobody");
  await guest.click("#enter");
  await guest.waitForSelector("#login-error.refused");
  expect((await guest.innerText("#login-error")).includes("Guest is not allowed to join this room"), "guest admitted");
  // Changing the profile through the start page.
  await lobby(page);
  await page.fill("#pname", "mia");
  await page.fill("#ppass", "miapw1");
  await Promise.all([page.waitForURL(/registresult\.htm\?change/), page.click("#change button")]);
  expect((await page.inputValue("#cw")) === "0", "not the change form");
  // The password travels in the post, never in the address, and the form
  // does not show it.
  expect(!page.url().includes("miapw1"), "password in the address: " + page.url());
  expect((await page.inputValue("#Password")) === "", "password shown in the change form");
  expect((await page.inputValue("#Resume")) === "I like tea", "profile not shown");
  expect(await page.isChecked('input[name="Sex"][value="0"]'), "sex not shown");
  await page.selectOption("#Icon", "9.gif");
  await page.fill("#Resume", "I like coffee now");
  await Promise.all([page.frame({ name: "result" }).waitForURL(/registresult\.htm/, { waitUntil: "load", timeout: WAIT }),
                     page.click("#submit1")]);
  await page.frame({ name: "result" }).waitForFunction(
    () => document.body && document.body.innerText.includes("Your information has been changed successfully."),
    null, { timeout: WAIT });
  await page.goto(base + "/register.ghp?username=mia&password=miapw1");
  await page.screenshot({ path: path.join(artifacts, "profile.png"), fullPage: true });
  expect((await page.inputValue("#Icon")) === "9.gif", "picture not changed");
  expect((await page.inputValue("#Resume")) === "I like coffee now", "profile not changed");
  // Without the password the change form is not shown.
  await page.goto(base + "/register.ghp?username=mia&password=");
  expect((await page.innerText("body")).includes("Invalid username or password!"), "change form without password");
});

// Presses the change form's button and returns the server's answer to its post.
async function changeAnswer(page) {
  const [answer] = await Promise.all([
    page.waitForResponse((r) => /\/registresult\.htm$/.test(r.url()) && r.request().method() === "POST"),
    page.click("#submit1")]);
  return answer.text();
}

// What the start page answers an entry into the members' room.
async function entryAnswer(name, password) {
  const page = await newPage();
  await submitEntry(page, name, "Members", { password });
  await page.waitForFunction(() => document.querySelector('iframe[name="chatsubmit"]') ||
                                    document.querySelector("#login-error.refused"));
  return (await page.$('iframe[name="chatsubmit"]')) ? "in" : page.innerText("#login-error");
}

test("a password with escapes, blanks and accents changes its profile from the start page", async () => {
  const password = "a&b c%25+é";
  const page = await newPage();
  await register(page, "amp.er", password);
  await lobby(page);
  await page.fill("#pname", "amp.er");
  await page.fill("#ppass", password);
  await Promise.all([page.waitForURL(/registresult\.htm\?change/), page.click("#change button")]);
  await page.fill("#Resume", "changed with an odd password");
  const said = await changeAnswer(page);
  expect(said.includes("changed successfully"), "the change was refused: " + said);
  expect((await entryAnswer("amp.er", password)) === "in", "the password no longer opens the account");
});

test("the Profile button changes the profile with the place's key; a new password needs the current one", async () => {
  const chat = await newPage();
  await register(chat, "keyprof", "keyprofpw");
  await enter(chat, "keyprof", "Members", { password: "keyprofpw" });
  const [page] = await Promise.all([chat.context().waitForEvent("page"), chat.click("#profile button")]);
  await page.waitForLoadState("load");
  await page.waitForSelector("#Current", { state: "visible" });
  // Without the current password the page does not post a new one.
  await page.fill("#Password", "keyprofnew");
  await page.fill("#Password1", "keyprofnew");
  await page.click("#submit1");
  await page.waitForFunction(() => /current password/.test(document.getElementById("error").textContent));
  // Nor does the server take the key for it.
  const answer = await page.evaluate(async () => {
    const body = new URLSearchParams(new FormData(document.getElementById("reg")));
    body.set("submit1", "1");
    const r = await fetch("registresult.htm", { method: "POST", body });
    return r.text();
  });
  expect(/A new password needs your current password/.test(answer), "the key set a password: " + answer);
  // A wrong current password is refused; the right one sets the new one.
  await page.fill("#Current", "guess");
  let said = await changeAnswer(page);
  expect(said.includes("Invalid username or password"), "a wrong current password: " + said);
  await page.fill("#Current", "keyprofpw");
  said = await changeAnswer(page);
  expect(said.includes("changed successfully"), "the current password was refused: " + said);
  // The profile alone changes with the key, the password left empty.
  await page.fill("#Password", "");
  await page.fill("#Password1", "");
  await page.fill("#Current", "");
  await page.fill("#Resume", "changed from the chat window");
  said = await changeAnswer(page);
  expect(said.includes("changed successfully"), "the key no longer changes the profile: " + said);
  expect((await entryAnswer("keyprof", "keyprofpw")) !== "in", "the old password still opens the account");
  expect((await entryAnswer("keyprof", "keyprofnew")) === "in", "the new password does not open the account");
  expect(chat.errors.length === 0, chat.errors.join("; "));
});

test("finding a user and the picture preview", async () => {
  const nia = await enter(await newPage(), "nia", "Lobby");
  const page = await newPage();
  await lobby(page);
  await page.fill("#findname", "NIA");
  await page.click("#find");
  const result = page.frame({ name: "findresult" });
  await result.waitForFunction(() => document.body && document.body.innerText.includes("is in"), null, { timeout: WAIT });
  expect((await result.evaluate(() => document.body.innerText)).includes("[NIA] is in [Lobby]"), "find result");
  await page.fill("#findname", "nobody-here");
  await page.click("#find");
  await result.waitForFunction(() => document.body && document.body.innerText.includes("Not found!"), null, { timeout: WAIT });
  await page.goto(base + "/previewicons.ghp");
  const images = await page.evaluate(async () => {
    const imgs = [...document.querySelectorAll("#icons img")];
    await Promise.all(imgs.map((i) => i.complete ? 0 : new Promise((r) => { i.onload = i.onerror = r; })));
    return imgs.map((i) => i.naturalWidth);
  });
  expect(images.length >= 12 && images.every((w) => w > 0), "pictures: " + images);
  await page.screenshot({ path: path.join(artifacts, "pictures.png") });
  expect(nia.errors.length === 0, nia.errors.join("; "));
});

test("a page of another site cannot register an account", async () => {
  // The other site: a page on another port that submits the registration
  // form to the chat as soon as it loads (its address differs in the port,
  // so it is another site for the browser).
  const http = await import("node:http");
  const chat = base;
  const attack = http.createServer((req, res) => {
    res.writeHead(200, { "Content-Type": "text/html" });
    res.end(`<form id=f method=post action="${chat}/registresult.htm">` +
            `<input name=UserName value=xsite1><input name=Password value=pw><input name=Password1 value=pw>` +
            `<input name=Sex value=2><input name=Email value=a><input name=Icon value=2.gif>` +
            `<input name=Resume value=r><input name=cw value=1><input name=Old value=>` +
            `<input name=submit1 value=1></form><script>document.getElementById("f").submit()</script>`);
  });
  await new Promise((r) => attack.listen(0, "127.0.0.1", r));
  try {
    const page = await newPage();
    await page.goto(`http://127.0.0.1:${attack.address().port}/`, { waitUntil: "load" });
    await page.waitForURL(/registresult\.htm/, { timeout: WAIT });
    const text = await page.innerText("body");
    expect(!text.includes("Congratulations"), "the other site registered: " + text);
    expect(!fs.existsSync(path.join(server.program, "users", "xsite1")), "account written");
    // The chat's own form still registers.
    const own = await register(await newPage(), "xsite2", "pw");
    expect(own.includes("Congratulations"), own);
  } finally {
    attack.close();
  }
});
