// The page of `kav-host serve` in Debian's headless chromium: two events registered, the
// session entering PreEndOfGame, each event published and completed from the page, then
// the completion and the phase change; a screenshot of the end is kept. With PLUGIN (the
// example plugin kav-hello), its API explorer instead: a greeting posted from the
// function's form, its reply, the event it declares updated live, and the GET after it.
//   node page_test.mjs KAV_HOST SCREENSHOT [PLUGIN]
// Exits 77 (skipped) when chromium or puppeteer-core is missing, unless
// KAV_REQUIRE_BROWSER=1, as in CI, makes that a failure.
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";

const [kavHost, screenshot, plugin] = process.argv.slice(2);
const chromium = process.env.CHROMIUM || "/usr/bin/chromium";
const required = process.env.KAV_REQUIRE_BROWSER === "1";
const STEP_MS = 10000;

function skip(why) {
  console.error(`${required ? "FAILED" : "skipped"}: ${why}`);
  process.exit(required ? 1 : 77);
}

if (!kavHost || !screenshot) {
  console.error("usage: node page_test.mjs KAV_HOST SCREENSHOT [PLUGIN]");
  process.exit(2);
}
if (!existsSync(chromium)) skip(`no chromium at ${chromium} (apt-get install chromium)`);
let puppeteer;
try {
  puppeteer = (await import("puppeteer-core")).default;
} catch (error) {
  skip(`puppeteer-core is not installed (npm ci in tests/browser): ${error.message}`);
}

const server = spawn(kavHost, ["serve", "--port", "0", "--quiet", ...(plugin ? ["--plugin", plugin] : [])], { stdio: ["ignore", "pipe", "inherit"] });
const serverExit = new Promise((resolve) => server.on("exit", (code, signal) => resolve({ code, signal })));
const userDataDir = mkdtempSync(join(tmpdir(), "kav-host-chromium-"));
let browser;

async function cleanUp() {
  if (browser) await browser.close().catch(() => {});
  if (server.exitCode === null) server.kill("SIGTERM");
  rmSync(userDataDir, { recursive: true, force: true });
}

const guard = setTimeout(async () => {
  console.error("FAILED: the browser test took longer than 90 s");
  await cleanUp();
  process.exit(1);
}, 90000);

async function fail(message) {
  console.error(`FAILED: ${message}`);
  await cleanUp();
  process.exit(1);
}

try {
  const url = await new Promise((resolve, reject) => {
    const lines = createInterface({ input: server.stdout });
    lines.on("line", (line) => {
      // The address carries the start's secret, which the page keeps as its cookie.
      const match = line.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]+/);
      if (match) resolve(match[0]);
    });
    server.on("exit", (code) => reject(new Error(`kav-host serve exited with ${code} before listening`)));
  });

  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage"],
  });
  const page = await browser.newPage();
  const problems = [];
  page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
  page.on("console", (message) => { if (message.type() === "error") problems.push(`console: ${message.text()}`); });
  await page.setViewport({ width: 1280, height: 820 });
  await page.goto(url, { waitUntil: "load", timeout: STEP_MS });

  const textIs = (selector, expected) =>
    page.waitForFunction((s, e) => document.querySelector(s)?.textContent.trim() === e, { timeout: STEP_MS }, selector, expected)
      .catch(async () => fail(`${selector} shows '${await page.$eval(selector, (n) => n.textContent.trim())}', not '${expected}'`));
  const liveItem = (text) =>
    page.waitForFunction((t) => [...document.querySelectorAll("#events li")].some((li) => li.textContent.includes(t)),
                         { timeout: STEP_MS }, text)
      .catch(() => fail(`the live list shows no item with ${text}`));
  const fill = async (selector, value) => {
    await page.$eval(selector, (node) => { node.value = ""; });
    await page.type(selector, value);
  };
  const act = async (name, priority, button, expectedReply) => {
    await fill("#name", name);
    if (priority !== undefined) await fill("#priority", String(priority));
    await page.$eval("#reply", (node) => { node.textContent = ""; });
    await page.click(button);
    await page.waitForFunction((e) => document.querySelector("#reply").textContent.includes(e), { timeout: STEP_MS },
                               expectedReply)
      .catch(async () => fail(`${button} ${name}: the reply is '${await page.$eval("#reply", (n) => n.textContent)}'`));
  };

  const containsText = (selector, expected) =>
    page.waitForFunction((s, e) => document.querySelector(s)?.textContent.includes(e), { timeout: STEP_MS }, selector, expected)
      .catch(async () => fail(`${selector} shows '${await page.$eval(selector, (n) => n.textContent.trim()).catch(() => "nothing")}', without '${expected}'`));
  const sequencerShown = () => page.$eval("#event-panel", (node) => !node.hidden);

  await textIs("#link", "live");
  await page.waitForSelector("body[data-explorer=ready]", { timeout: STEP_MS })
    .catch(() => fail("the explorer was not built"));
  if (plugin) {
    await textIs("#plugin-name", "kav-hello");
    if (await sequencerShown()) await fail("the sequencer's panels are shown for kav-hello");
    const greet = '[data-function="PostKavHelloV1GreetByName"]';
    const get = '[data-function="GetKavHelloV1Greeting"]';
    await page.type(`${greet} input[data-parameter="name"]`, "Ada");
    await page.select(`${greet} select[data-parameter="mood"]`, "Cheerful");
    await page.click(`${greet} button[type=submit]`);
    await containsText(`${greet} .reply`, "POST /kav-hello/v1/greet/Ada → 200");
    await containsText(`${greet} .reply`, '"mood":"Cheerful"');
    await containsText('[data-event="OnKavHelloGreeted"] .payload', '"name":"Ada"');
    await liveItem('"name":"Ada"');
    await page.click(`${get} button[type=submit]`);
    await containsText(`${get} .reply`, '"count":1');
    await finish();
  }
  if (!(await sequencerShown())) await fail("the sequencer's panels are hidden");
  await page.waitForSelector('[data-function="PostKavPreEndOfGameV1RegistrationBySequenceEventNameByPriority"]',
                             { timeout: STEP_MS }).catch(() => fail("the explorer lists no registration function"));
  await textIs("#phase", "None");
  await textIs("#current", "none");

  // An empty priority is refused on the page: nothing is sent.
  await page.$eval("#priority", (node) => { node.value = ""; });
  await act("empty", undefined, "#register", "Not sent: the priority is a whole number");
  await act("honor", -5, "#register", "→ 204");
  await act("stats", 0, "#register", "→ 204");
  await act("late", 7, "#register", "→ 204");
  await act("again", 0, "#register", "the plugin drops it: priority 0 is taken by stats");
  await act("late", undefined, "#deregister", "→ 204");
  const queueIs = (expected) =>
    page.waitForFunction((e) => [...document.querySelectorAll("#queue li")].map((li) => li.textContent).join("|") === e,
                         { timeout: STEP_MS }, expected)
      .catch(async () => fail(`the queue is '${await page.$$eval("#queue li", (l) => l.map((li) => li.textContent).join("|"))}', not '${expected}'`));
  await queueIs("honor (priority -5)|stats (priority 0)");

  await page.click("#enter-pre-end");
  await textIs("#phase", "PreEndOfGame");
  await textIs("#current", "honor (priority -5)");
  await liveItem('"name":"honor","priority":-5');
  await page.waitForSelector('#queue li.current[data-priority="-5"]', { timeout: STEP_MS })
    .catch(() => fail("the queue does not mark the current event"));
  await liveItem("PreEndOfGame sequence event changed - honor");  // the plugin's log line

  await act("honor", undefined, "#complete", "→ 204");
  await textIs("#current", "stats (priority 0)");
  await liveItem('"name":"stats","priority":0');

  await act("stats", undefined, "#complete", "→ 204");
  await textIs("#current", "none");
  await page.waitForSelector("#completed:not([hidden])", { timeout: STEP_MS })
    .catch(() => fail("the page does not show the completion"));
  await liveItem("GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED");
  await textIs("#phase", "EndOfGame");

  // A page opened late is replayed what came before it.
  const late = await browser.newPage();
  await late.goto(new URL("/", url).href, { waitUntil: "load", timeout: STEP_MS });
  await late.waitForFunction(() => [...document.querySelectorAll("#events li")].some((li) =>
    li.textContent.includes("GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED")), { timeout: STEP_MS })
    .catch(() => fail("a page opened late shows nothing from before"));
  await late.close();

  await finish();

  async function finish() {
    await page.screenshot({ path: screenshot, fullPage: true });
    if (problems.length) await fail(problems.join("\n"));

    await browser.close();
    browser = undefined;
    server.kill("SIGTERM");
    const { code, signal } = await serverExit;
    if (code !== 0) await fail(`kav-host serve ended with ${code ?? signal} after SIGTERM`);
    rmSync(userDataDir, { recursive: true, force: true });
    clearTimeout(guard);
    process.exit(0);
  }
} catch (error) {
  await fail(error.stack || String(error));
}
