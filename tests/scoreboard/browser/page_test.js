// Loads the score page in the system Chromium, as a visitor would, after a
// name made of markup has been stored, and checks what reaches the reader.
// Usage: node page_test.js <barnblast-scoreboard> <artifact dir>
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const [serverExe, artifactDir] = process.argv.slice(2);
const hostile = '<script>alert(1)</script>';
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'scoreboard-browser-'));
const children = [];

function check(ok, what) {
  if (!ok) throw new Error('check failed: ' + what);
  console.log('ok - ' + what);
}

// Resolves with the first match of pattern in what read() returns.
async function waitFor(read, pattern, what, ms = 30000) {
  for (const end = Date.now() + ms; Date.now() < end;) {
    const m = pattern.exec(read());
    if (m) return m;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error('timed out waiting for ' + what);
}

function start(cmd, args) {
  const child = spawn(cmd, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  child.log = '';
  child.stderr.on('data', (d) => { child.log += d; });
  children.push(child);
  return child;
}

async function main() {
  const server = start(serverExe, ['--port', '0', '--db', path.join(work, 'scores.db')]);
  const [, port] = await waitFor(() => server.log, /listening on http:\/\/127\.0\.0\.1:(\d+)/, 'the server');
  const base = `http://127.0.0.1:${port}`;

  const posts = [[hostile, 50, 1], ['Ann', 30, 2], ['', 10, 3]];
  for (const [name, score, n] of posts) {
    const id = `00000000-0000-4000-8000-${String(n).padStart(12, '0')}`;
    const res = await fetch(`${base}/api/scores`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ game: 'Barnblast V2', score, name, id }),
    });
    check(res.status === 201, `score ${score} stored`);
  }

  const profile = path.join(work, 'profile');
  const browserProc = start('/usr/bin/chromium', [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    `--user-data-dir=${profile}`, '--remote-debugging-address=127.0.0.1', '--remote-debugging-port=0',
    'about:blank',
  ]);
  const portFile = path.join(profile, 'DevToolsActivePort');
  const [, cdpPort] = await waitFor(
    () => (fs.existsSync(portFile) ? fs.readFileSync(portFile, 'utf8') : '') || browserProc.log,
    /^(\d+)\n/, 'Chromium to open its debugging port');
  const browser = await chromium.connectOverCDP(`http://127.0.0.1:${cdpPort}`);
  try {
    const context = browser.contexts()[0];
    const page = await context.newPage();
    const dialogs = [];
    page.on('dialog', async (d) => { dialogs.push(d.message()); await d.dismiss(); });
    const cspViolations = [];
    page.on('console', (m) => { if (/Content Security Policy/.test(m.text())) cspViolations.push(m.text()); });

    const response = await page.goto(base + '/', { waitUntil: 'load' });
    check(response.status() === 200, 'page answers 200');
    const csp = (await response.allHeaders())['content-security-policy'] || '';
    check(csp.includes("default-src 'none'"), 'page has a Content-Security-Policy');

    check(await page.evaluate(() => document.documentElement.lang) === 'en', 'html has lang="en"');
    check(await page.getByRole('heading', { level: 1 }).count() === 1, 'one top heading');
    check(await page.getByRole('heading', { level: 2, name: 'Barnblast V2' }).count() === 1, 'a heading per game');

    const table = page.getByRole('table', { name: /Barnblast V2/ });
    check(await table.count() === 1, 'the table is named by its caption');
    const columns = await table.getByRole('columnheader').allTextContents();
    check(JSON.stringify(columns) === JSON.stringify(['Rank', 'Name', 'Score', 'Time (UTC)']),
      `column header cells: ${columns}`);
    const ranks = await table.getByRole('rowheader').allTextContents();
    check(JSON.stringify(ranks) === '["1","2","3"]', `row header cells: ${ranks}`);

    const cell = table.getByRole('cell', { name: hostile, exact: true });
    check(await cell.count() === 1, 'the stored markup is shown as text');
    const firstRow = await table.getByRole('row').nth(1).allInnerTexts();
    check(firstRow[0].includes(hostile) && firstRow[0].includes('50'), 'it is the best score');
    check(await page.evaluate(() => document.scripts.length) === 0, 'no script element on the page');
    check(dialogs.length === 0, 'no alert ran');

    const collapse = await table.evaluate((t) => getComputedStyle(t).borderCollapse);
    check(collapse === 'collapse', 'the stylesheet loads under the policy');
    check(cspViolations.length === 0, `no policy violations: ${cspViolations}`);

    fs.mkdirSync(artifactDir, { recursive: true });
    const shot = path.join(artifactDir, 'scoreboard-page.png');
    await page.screenshot({ path: shot, fullPage: true });
    check(fs.statSync(shot).size > 0, `screenshot saved to ${shot}`);
  } finally {
    await browser.close().catch(() => {});
  }
}

// Ends the children and waits for them before removing their files: a
// browser still shutting down keeps writing to its profile.
async function cleanup() {
  await Promise.all(children.map((c) => new Promise((resolve) => {
    if (c.exitCode !== null || c.signalCode !== null) return resolve();
    const force = setTimeout(() => c.kill('SIGKILL'), 5000);
    c.once('exit', () => { clearTimeout(force); resolve(); });
    c.kill('SIGTERM');
  })));
  fs.rmSync(work, { recursive: true, force: true, maxRetries: 5 });
}

const guard = setTimeout(() => {
  console.error('browser test took too long');
  for (const c of children) c.kill('SIGKILL');
  process.exit(1);
}, 120000);
main().then(
  async () => { clearTimeout(guard); await cleanup(); },
  async (err) => {
    clearTimeout(guard);
    console.error(err.stack || String(err));
    for (const c of children) if (c.log) console.error('--- stderr of', c.spawnfile, '\n' + c.log.slice(-2000));
    await cleanup();
    process.exit(1);
  });
