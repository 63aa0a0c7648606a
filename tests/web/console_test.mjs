// Browser test of the web console: real VornAuth and VornBOS on loopback ports, OSCAR clients
// written out here, and the system's Chromium driven by playwright-core (no browser download).
// Usage: node console_test.mjs BIN_DIR ARTEFACT_DIR. Exit 0 passed, 1 failed, 77 skipped.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";

const CHROMIUM = process.env.VORN_CHROMIUM || "/usr/bin/chromium";
const [binDir, outDir] = process.argv.slice(2);
if (!binDir || !outDir) {
  console.error("usage: node console_test.mjs BIN_DIR ARTEFACT_DIR");
  process.exit(2);
}
if (!fs.existsSync(CHROMIUM)) {
  console.log(`SKIP: no Chromium at ${CHROMIUM}`);
  process.exit(77);
}
let chromium;
try {
  ({ chromium } = await import("playwright-core"));
} catch {
  console.log("SKIP: playwright-core is not installed (npm ci in tests/web)");
  process.exit(77);
}

const TOKEN = "console-test-token-0123456789";
const shots = path.join(outDir, "screenshots");
fs.mkdirSync(shots, { recursive: true });

// ---- servers ----
function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function waitPort(port, ms = 5000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const ok = await new Promise((resolve) => {
      const c = net.connect(port, "127.0.0.1", () => { c.destroy(); resolve(true); });
      c.on("error", () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`port ${port} does not accept`);
}

const data = fs.mkdtempSync(path.join(os.tmpdir(), "vorn-web-"));
const [authPort, bosPort, apiPort] = [await freePort(), await freePort(), await freePort()];
for (const d of ["Db", "Cookie", "olm"]) fs.mkdirSync(path.join(data, d));
fs.writeFileSync(path.join(data, "vorn.ini"),
  `[Main]\nBOS_Port=${bosPort}\nAuth_Port=${authPort}\nBOS_IP=127.0.0.1\nLogLevel=8\n\n` +
  `[Lists]\nSendOnLine=9999\n0=9001\n\n[Admin]\nListen=127.0.0.1:${apiPort}\nSampleSeconds=1\n`);
fs.writeFileSync(path.join(data, "admin.token"), TOKEN + "\n", { mode: 0o600 });
fs.writeFileSync(path.join(data, "Db/1000.ini"), "[Main]\nPass=pw\nNick=alice\n", { mode: 0o600 });
fs.writeFileSync(path.join(data, "Db/1001.ini"), "[Main]\nPass=pw\nNick=bob\n", { mode: 0o600 });
fs.writeFileSync(path.join(data, "Db/9001.ini"), "[List]\n0=1000\n1=1001\n");
const env = { ...process.env, VORN_PATH: data + "/" };
const servers = ["VornAuth", "VornBOS"].map((p) => spawn(path.join(binDir, p), [], { env, stdio: "ignore" }));

// ---- a small OSCAR client: password login, cookie login, incoming frames ----
const ROAST = [0xf3, 0x26, 0x81, 0xc4, 0x39, 0x86, 0xdb, 0x92, 0x71, 0xa3, 0xb9, 0xe6, 0x53, 0x7a, 0x95, 0x7c];
const be16 = (v) => Buffer.from([v >> 8, v & 255]);
const tlv = (t, v) => Buffer.concat([be16(t), be16(v.length), v]);

class Oscar {
  constructor(port) {
    this.frames = [];
    this.closed = false;
    this.buf = Buffer.alloc(0);
    this.waiters = [];
    this.sock = net.connect(port, "127.0.0.1");
    this.sock.on("data", (d) => {
      this.buf = Buffer.concat([this.buf, d]);
      while (this.buf.length >= 6 && this.buf.length >= 6 + this.buf.readUInt16BE(4)) {
        const len = this.buf.readUInt16BE(4);
        this.frames.push({ channel: this.buf[1], data: this.buf.subarray(6, 6 + len) });
        this.buf = this.buf.subarray(6 + len);
      }
      this.wake();
    });
    this.sock.on("close", () => { this.closed = true; this.wake(); });
    this.sock.on("error", () => {});
  }
  wake() { for (const w of this.waiters.splice(0)) w(); }
  send(channel, data) {
    this.sock.write(Buffer.concat([Buffer.from([0x2a, channel, 0, 0]), be16(data.length), data]));
  }
  async until(pred, what, ms = 8000) {
    const end = Date.now() + ms;
    for (;;) {
      const i = this.frames.findIndex(pred);
      if (i >= 0) return this.frames.splice(i, 1)[0];
      if (this.closed || Date.now() > end) throw new Error(`no ${what}`);
      await new Promise((r) => { this.waiters.push(r); setTimeout(r, 100); });
    }
  }
  async waitClosed(ms = 8000) {
    const end = Date.now() + ms;
    while (!this.closed && Date.now() < end) await new Promise((r) => { this.waiters.push(r); setTimeout(r, 100); });
    return this.closed;
  }
  close() { this.sock.destroy(); }
}

const isSnac = (fam, sub) => (f) => f.channel === 2 && f.data.readUInt16BE(0) === fam && f.data.readUInt16BE(2) === sub;

async function signOn(uin, password) {
  const a = new Oscar(authPort);
  await a.until((f) => f.channel === 1, "hello from VornAuth");
  const pw = Buffer.from(password).map((b, i) => b ^ ROAST[i % 16]);
  a.send(1, Buffer.concat([Buffer.from([0, 0, 0, 1]), tlv(1, Buffer.from(String(uin))), tlv(2, pw), tlv(3, Buffer.from("test"))]));
  const reply = await a.until((f) => f.channel === 4, "login reply");
  a.close();
  let cookie = null;
  for (let p = 0; p + 4 <= reply.data.length;) {
    const t = reply.data.readUInt16BE(p), n = reply.data.readUInt16BE(p + 2);
    if (t === 6) cookie = reply.data.subarray(p + 4, p + 4 + n);
    p += 4 + n;
  }
  if (!cookie) throw new Error(`${uin}: password login refused`);
  const b = new Oscar(bosPort);
  await b.until((f) => f.channel === 1, "hello from VornBOS");
  b.send(1, Buffer.concat([Buffer.from([0, 0, 0, 1]), tlv(6, cookie)]));
  await b.until(isSnac(1, 3), "service families");
  return b;
}

// ---- the browser ----
let failed = false;
const step = async (name, fn) => {
  try {
    await fn();
    console.log(`ok   ${name}`);
  } catch (e) {
    failed = true;
    console.log(`FAIL ${name}: ${e.message}`);
  }
};

let context;
const clients = [];
try {
  await waitPort(authPort);
  await waitPort(bosPort);
  await waitPort(apiPort);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "vorn-chromium-"));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1200, height: 760 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(10000);
  page.on("dialog", (d) => d.accept());
  // Nothing is fetched from other hosts.
  const foreign = [];
  page.on("request", (r) => { if (!r.url().startsWith(`http://127.0.0.1:${apiPort}/`)) foreign.push(r.url()); });
  const row = (table, uin) => page.locator(`#${table}-rows tr[data-uin="${uin}"]`);

  await step("sign in with the token", async () => {
    await page.goto(`http://127.0.0.1:${apiPort}/`);
    await page.fill("#token", "wrong");
    await page.click("#signin-form button");
    await page.locator("#signin-error").filter({ hasText: "refused" }).waitFor();
    await page.screenshot({ path: path.join(shots, "signin.png") });
    await page.fill("#token", TOKEN);
    await page.click("#signin-form button");
    await page.locator("#tabs").waitFor();
  });

  await step("a client signs on and appears under Online now; ending its session removes it", async () => {
    const alice = await signOn(1000, "pw");
    clients.push(alice);
    await row("online", 1000).waitFor();
    await page.locator("#online-rows", { hasText: "alice" }).waitFor();
    await page.screenshot({ path: path.join(shots, "online.png") });
    await row("online", 1000).locator("button").click();
    await row("online", 1000).waitFor({ state: "detached" });
    if (!(await alice.waitClosed())) throw new Error("the client's connection stayed open");
  });

  await step("create a user and sign on with it over OSCAR", async () => {
    await page.click("#tabs button[data-page=users]");
    await page.fill("#user-form input[name=uin]", "2000");
    await page.fill("#user-form input[name=password]", "s3cret");
    await page.fill("#user-form input[name=nick]", "dave");
    await page.click("#user-form button");
    await row("user", 2000).waitFor();
    await page.screenshot({ path: path.join(shots, "users.png") });
    clients.push(await signOn(2000, "s3cret"));
  });

  await step("a broadcast reaches a signed-on client", async () => {
    const bob = await signOn(1001, "pw");
    clients.push(bob);
    await page.click("#tabs button[data-page=send]");
    await page.fill("#send-form input[name=from]", "555");
    await page.check("#send-form input[value=list]");
    await page.selectOption("#send-list", "9001");
    await page.fill("#send-form textarea", "console broadcast 42");
    await page.screenshot({ path: path.join(shots, "send.png") });
    await page.click("#send-form button[type=submit]");
    const m = await bob.until(isSnac(4, 7), "the broadcast");
    if (!m.data.includes(Buffer.from("console broadcast 42\0"))) throw new Error("the text did not arrive whole");
    await page.locator("#toast", { hasText: "1 online" }).waitFor();
  });

  await step("lists page", async () => {
    await page.click("#tabs button[data-page=lists]");
    await page.locator('#list-rows tr[data-list="9001"]').waitFor();
    await page.screenshot({ path: path.join(shots, "lists.png") });
  });

  await step("the chart shows points", async () => {
    await page.click("#tabs button[data-page=activity]");
    await page.waitForFunction(() => document.querySelectorAll("#chart-sessions circle").length >= 3, null, { timeout: 10000 });
    await page.waitForFunction(() => document.querySelectorAll("#chart-messages circle").length >= 2);
    await page.screenshot({ path: path.join(shots, "activity.png") });
  });

  await step("nothing fetched from other hosts", async () => {
    if (foreign.length) throw new Error(foreign.join(", "));
  });
} catch (e) {
  failed = true;
  console.log(`FAIL ${e.message}`);
} finally {
  for (const c of clients) c.close();
  if (context) await context.close();
  for (const s of servers) s.kill("SIGTERM");
  fs.rmSync(data, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
