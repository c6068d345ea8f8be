// A line stays a line: whatever a visitor types stays inside its own line
// on the board, lays nothing over the other lines, and cannot pass for the
// head of another line, a notice or the private mark.
import { sleep, newPage, frame, frameEval, waitText, enter, register, say, expect } from "../lib.mjs";

export const tests = [];
const test = (name, fn) => tests.push({ name, fn });

const HOSTILE = [
  "look <dialog open><table width=1400 height=1400 bgcolor=white>covered</table></dialog>",
  "<div popover id=pp>popped</div><button popovertarget=pp>open it</button>",
  "<button commandfor=dd command=show-modal>modal</button><dialog id=dd>shown</dialog>",
  "<a interestfor=pp href=/x>hover</a>",
  "ok<br><font color=green size=2>12:34:56 <a href=#>admin</a> =&gt; <a href=#>All</a> </font>forged head",
  "<br>*<font color=red size=2>left the chat room...</font>",
  "<span class=line><span class=head>12:00:00 admin</span></span><span class=mark>private</span>",
  "<img name=body src=/face/1.gif><img name=createElement src=/face/2.gif>",
  "<div><table width=100% height=400 border=1><tr><td>a tall table</td></tr></table>",
  "\u202eright to left <font size=7>big</font>",
];

// Geometry of the board's lines that carry `texts`, with what the browser
// finds at the middle of each.
async function lineBoxes(page, texts) {
  return frame(page, "board").evaluate((want) => {
    const lines = Array.from(document.querySelectorAll(".line"));
    return want.map((t) => {
      const line = lines.find((l) => l.textContent.includes(t));
      if (!line) return null;
      line.scrollIntoView({ block: "center" });
      const b = line.getBoundingClientRect();
      const hit = document.elementFromPoint(b.left + b.width / 2, b.top + b.height / 2);
      return { height: b.height, visible: !!hit && line.contains(hit) };
    });
  }, texts);
}

test("hostile lines stay inside their lines and every later line shows as usual", async () => {
  const ann = await newPage(), eve = await newPage();
  await register(ann, "annl", "pwannl");
  await register(eve, "evel", "pwevel");
  await enter(ann, "annl", "Members", { password: "pwannl" });
  await enter(eve, "evel", "Members", { password: "pwevel" });
  await say(eve, "ordinary line number one");
  for (const m of HOSTILE) await say(eve, m);
  await say(eve, "ordinary line number two");
  await say(eve, "ordinary line number three");
  await waitText(ann, "board", "ordinary line number three");
  // The buttons and links a line holds are text; clicking and hovering the
  // lines opens nothing.
  const board = frame(ann, "board");
  for (const t of ["open it", "modal", "hover"]) {
    const at = await board.evaluate((w) => {
      const l = Array.from(document.querySelectorAll(".line")).find((x) => x.textContent.includes(w));
      if (!l) return null;
      l.scrollIntoView({ block: "center" });
      const b = l.getBoundingClientRect();
      return { x: b.left + b.width - 20, y: b.top + b.height / 2 };
    }, t);
    expect(at, `no line holds ${t}`);
    const o = await ann.evaluate(() => document.querySelector('iframe[name="board"]').getBoundingClientRect().toJSON());
    await ann.mouse.move(o.x + at.x, o.y + at.y);
    await ann.mouse.click(o.x + at.x, o.y + at.y);
  }
  await sleep(300);

  const found = await board.evaluate(() => ({
    overlays: document.querySelectorAll("dialog, [popover], :popover-open, [open]").length,
    lines: document.querySelectorAll(".line").length,
    heads: document.querySelectorAll(".line > .head").length,
    strayHeads: document.querySelectorAll(".head .head, .text .head, .text .line, .text .mark, .text [data-name]").length,
    marks: document.querySelectorAll(".mark").length,
    outside: Array.from(document.body.children).filter((e) => !e.matches(".line, script")).map((e) => e.tagName),
  }));
  expect(found.overlays === 0, `${found.overlays} dialogs or popovers on the board`);
  expect(found.heads === found.lines, `${found.lines} lines but ${found.heads} heads`);
  expect(found.strayHeads === 0, "a visitor's text holds parts of a head");
  expect(found.marks === 0, "a private mark on lines that are not private");
  expect(found.outside.length === 0, "the board holds more than lines: " + found.outside.join(" "));

  const boxes = await lineBoxes(ann, ["ordinary line number one", "ordinary line number two",
                                      "ordinary line number three"]);
  expect(boxes.every((b) => b && b.visible), "a later line is covered: " + JSON.stringify(boxes));
  expect(boxes[1].height === boxes[0].height && boxes[2].height === boxes[0].height,
         "later lines are not as high as an ordinary one: " + JSON.stringify(boxes));

  // The forged head is the visitor's text: it stands further in than every
  // head, on a row of its own line.
  const forged = await board.evaluate(() => {
    const line = Array.from(document.querySelectorAll(".line")).find((l) => l.textContent.includes("forged head"));
    const text = line.querySelector(".text");
    const walker = document.createTreeWalker(text, NodeFilter.SHOW_TEXT);
    let node;
    while ((node = walker.nextNode()) && !node.nodeValue.includes("12:34:56"));
    const range = document.createRange();
    range.selectNodeContents(node);
    const heads = Array.from(document.querySelectorAll(".line > .head")).map((h) => h.getBoundingClientRect().left);
    return { forgedLeft: range.getBoundingClientRect().left, headLeft: Math.max(...heads) };
  });
  expect(forged.forgedLeft > forged.headLeft + 10,
         `the forged head lines up with the real ones: ${JSON.stringify(forged)}`);
  // The board document keeps its own names: lines still arrive.
  await say(eve, "ordinary line number four");
  await waitText(ann, "board", "ordinary line number four");
});

test("names that render like a reserved or online name are refused", async () => {
  const ann = await enter(await newPage(), "annu", "Lobby");
  const tries = await ann.evaluate(async () => {
    const names = ["admin\u2800", "admin\u0323", "\uff41\uff44\uff4d\uff49\uff4e", "annu\u2800", "ann\u2605",
                   "\u0430dmin", "annu\u0301"];
    const out = {};
    for (const n of names) {
      const r = await fetch(`chat.ghp?username=${encodeURIComponent(n)}&password=&room=1&sex=1`, { cache: "no-store" });
      out[n] = (await r.text()).replace(/<[^>]*>/g, "").trim();
    }
    return out;
  });
  for (const [name, said] of Object.entries(tries))
    expect(/not allowed|reserved|has logged on/.test(said), `${JSON.stringify(name)} entered: ${said.slice(0, 120)}`);
  await waitText(ann, "users", "annu");
  const listed = await frameEval(ann, "users", () => Array.from(document.querySelectorAll(".list a"), (a) => a.textContent));
  const entered = listed.filter((n) => n in tries);
  expect(entered.length === 0, "listed: " + JSON.stringify(entered));
});

test("a private line to All is refused with a message and stays in the input", async () => {
  const tom = await enter(await newPage(), "tomp", "Lobby");
  const una = await enter(await newPage(), "unap", "Lobby");
  const f = frame(tom, "chatsubmit");
  await f.fill("#mtowho", "All");
  await f.setChecked("#mqqsay", true);
  await f.fill("#message", "meant for one");
  await f.click("#sendbutton");
  await tom.waitForFunction(() => /needs one addressee/.test(document.getElementById("notice").textContent));
  expect((await f.inputValue("#message")).includes("meant for one"), "the refused line was lost");
  await say(tom, "said to all");
  await waitText(una, "board", "said to all");
  expect(!(await frame(una, "board").evaluate(() => document.body.innerText)).includes("meant for one"),
         "the private line to All reached another visitor");
});
