// The chat window: entering, lines, private lines, panes, moderation, leaving.
import fs from "node:fs";
import path from "node:path";
import {
  artifacts, WAIT, sleep, base, server, newPage, frame, frameEval, frameText, waitText, waitNoText,
  lobby, enter, say, register, waitNotice, expect,
} from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

test("two visitors enter one room and see each other's lines and names", async () => {
  const ann = await enter(await newPage(), "ann", "Lobby", { picture: 3 });
  fs.mkdirSync(artifacts, { recursive: true });
  const bob = await enter(await newPage(), "bob", "Lobby", { picture: 5 });
  await waitText(ann, "users", "bob");
  expect((await frameText(bob, "users")).includes("ann"), "bob's list lacks ann");
  await waitText(bob, "board", "joined the chat room");
  await say(ann, "hello from ann");
  await waitText(ann, "board", "hello from ann", 5000);  // the sender's own line comes at once
  await waitText(bob, "board", "hello from ann");
  await say(bob, "hi ann, bob here");
  await waitText(ann, "board", "hi ann, bob here");
  // Lines sent back to back all come back to their sender at once.
  await say(ann, "quick one");
  await say(ann, "quick two");
  await waitText(ann, "board", "quick one", 5000);
  await waitText(ann, "board", "quick two", 5000);
  await waitText(bob, "board", "quick two");
  const img = await frameEval(ann, "users", () => [...document.images].map((i) => i.getAttribute("src")));
  expect(img.includes("/images/3.gif") && img.includes("/images/5.gif"), "pictures in the list: " + img);
  await ann.screenshot({ path: path.join(artifacts, "chat-two-users.png") });
  await bob.setViewportSize({ width: 390, height: 760 });
  await sleep(300);
  await bob.screenshot({ path: path.join(artifacts, "chat-phone.png") });
  for (const p of [ann, bob]) expect(p.errors.length === 0, "script errors: " + p.errors.join("; "));
});

test("a private line reaches only its addressee", async () => {
  const carl = await enter(await newPage(), "carl", "Lobby");
  const dora = await enter(await newPage(), "dora", "Lobby");
  const emil = await enter(await newPage(), "emil", "Lobby");
  await waitText(carl, "users", "emil");
  // Clicking a name in the list addresses the next line to that person.
  await frame(carl, "users").click('a:text-is("dora")');
  await frame(carl, "chatsubmit").waitForFunction(() => document.getElementById("mtowho").value === "dora");
  await say(carl, "psst dora only", { to: "dora", priv: true });
  await say(carl, "public after the secret");
  await waitText(dora, "board", "psst dora only");
  await waitText(emil, "board", "public after the secret");
  expect(!(await frameText(emil, "board")).includes("psst dora only"), "emil saw the private line");
  await waitText(carl, "board", "psst dora only", 5000);
});

test("split mode shows the own lines in their pane", async () => {
  const fay = await enter(await newPage(), "fay", "Lobby");
  const gil = await enter(await newPage(), "gil", "Lobby");
  await say(fay, "fay in her own pane", { split: true });
  await waitText(fay, "mymsg", "fay in her own pane", 5000);
  await waitText(gil, "board", "fay in her own pane");
  await say(gil, "gil to fay", { to: "fay" });
  await waitText(fay, "mymsg", "gil to fay");
  await say(gil, "gil to everybody");
  await waitText(fay, "board", "gil to everybody");
  const board = await frameText(fay, "board");
  expect(!board.includes("gil to fay") && !board.includes("fay in her own pane"), "own lines on the board");
});

test("a line of 3000 characters arrives whole", async () => {
  const hal = await enter(await newPage(), "hal", "Lobby");
  const ida = await enter(await newPage(), "ida", "Lobby");
  let line = "";
  for (let i = 0; line.length < 3000; i++) line += `w${i} `;
  line = "BEGIN" + line.slice(0, 3000 - 8) + "END";
  expect(line.length === 3000, "line length " + line.length);
  await say(hal, line);
  await waitText(ida, "board", line, 20_000);
  await waitText(hal, "board", line, 5000);
});

test("a room administrator bans and unbans a visitor", async () => {
  const adminPage = await newPage();
  // The administrators' names are reserved: the operator makes the account.
  await adminPage.goto(base + "/register.ghp", { waitUntil: "load" });
  const refused = await adminPage.evaluate(async () => (await fetch("/registresult.htm", {
    method: "POST", body: "UserName=admin&Password=x&Password1=x&Sex=2&Email=a&Icon=2.gif&Resume=&cw=1&Old=&submit1=x",
  })).text());
  expect(refused.includes("This username is reserved"), "a stranger registered admin: " + refused);
  fs.writeFileSync(path.join(server.program, "users", "admin"), "[main]\r\npassword=adminpw\r\nIcon=4.gif\r\n");
  const rooms = await lobby(adminPage);
  const room = rooms.find((r) => /admin/.test(r.admin));
  expect(room, "no room names admin as administrator: " + JSON.stringify(rooms));
  // The visitor must be admitted to that room: the first such room is
  // Members, open to every member (an administrators-only room admits only
  // the whole names of its administrator text).
  const victimName = room.admin.includes("admin") ? "min" : "jon";
  const victimPage = await newPage();
  if (victimName === "min") await register(victimPage, "min", "minpw");
  const admin = await enter(adminPage, "admin", room.name, { password: "adminpw" });
  let victim;
  try {
    victim = await enter(victimPage, "jon", room.name);
  } catch (e) {
    victim = await enter(victimPage, "min", room.name, { password: "minpw" });
  }
  const vname = await victim.evaluate(() => JSON.parse(sessionStorage.getItem("tvl-entry")).name);
  await waitText(admin, "users", vname);
  await frame(admin, "users").click(`a:text-is("${vname}")`);
  await say(admin, "", { to: vname, command: 1 });
  await waitText(admin, "board", `[${vname}] has been banned!`);
  await waitNotice(victim, "banned");
  await say(admin, "said while banned");
  await say(admin, "", { to: vname, command: 2 });
  await waitText(admin, "board", `[${vname}] has been unbanned!`);
  await say(admin, "welcome back");
  await waitText(victim, "board", "welcome back", 25_000);
  await waitText(victim, "board", `[${vname}] has been unbanned!`);
  // Somebody who is not named in the room's administrator text gets "no permission!".
  const lobbyRoom = rooms.find((r) => r.name === "Lobby");
  expect(lobbyRoom && !lobbyRoom.admin.includes("zed9"), "no Lobby for the permission check");
  const zed = await enter(await newPage(), "zed9", "Lobby");
  // The menu offers the commands to the room's administrators only ...
  await frame(admin, "chatsubmit").waitForSelector("#mfilters", { state: "visible" });
  await sleep(1000);  // the window has looked the room up by now
  expect(await frame(zed, "chatsubmit").isHidden("#mfilters"), "a visitor sees the room's commands");
  // ... and the server refuses them to anybody else all the same.
  const answer = await zed.evaluate(async () => {
    const entry = JSON.parse(sessionStorage.getItem("tvl-entry"));
    const r = await fetch(`chatsubmit.ghp?username=${entry.name}&password=${entry.key}&room=${entry.room}`, {
      method: "POST", body: "message=&chat_flag=1&mtowho=somebody&mfilters=1&mfont=0&mfcolor=1&elist=0&seltype=0&msg=" });
    return r.text();
  });
  expect(answer.includes("no permission!"), "a visitor's ban was not refused: " + answer.slice(0, 200));
});

test("leaving removes the visitor from the other's list", async () => {
  const kim = await enter(await newPage(), "kim", "Lobby");
  const lou = await enter(await newPage(), "lou", "Lobby");
  await waitText(kim, "users", "lou");
  await Promise.all([lou.waitForURL(base + "/"), lou.click("#leave")]);
  await waitNoText(kim, "users", "lou");
  await waitText(kim, "board", "left the chat room...");
  // The name is free again in that room.
  await enter(lou, "lou", "Lobby");
});
