// Loads the score pages in the system Chromium, as a visitor would, after a
// name made of markup has been stored, and checks what reaches the reader:
// the front page, a game's table page by page and this week's and today's,
// a player's page and the pages for addresses that lead nowhere, each
// checked with axe-core and html-validate as well, and the table pages on a
// narrow screen.
// Usage: node page_test.js <barnblast-scoreboard> <artifact dir>
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { HtmlValidate } = require('html-validate');
const { chromium } = require('playwright-core');

const [serverExe, artifactDir] = process.argv.slice(2);
const hostile = '<script>alert(1)</script>';
const longGame = 'Long & <game>';
// Right-to-left, ending in neutral characters that would drift without isolation.
const rtlName = 'سارة!';
const rtlGame = 'حرب الحظيرة (2)';
const names = [hostile, longGame, 'Barnblast V2', rtlName, rtlGame];
const validator = new HtmlValidate({
  extends: ['html-validate:recommended'],
  // A title tells the page apart first (a game's name of up to 64 characters, its period and page), then the site.
  rules: { 'long-title': 'off' },
});
// Injected through the debugging protocol, which the page's policy does not
// govern: the page itself still loads no script.
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'scoreboard-browser-'));
const children = [];

function check(ok, what) {
  if (!ok) throw new Error('check failed: ' + what);
  console.log('ok - ' + what);
}

// What every page keeps to: a language, one top heading at the start of
// main, no script, no id twice, each name set apart from the text around
// it, and valid HTML as sent.
async function checkPage(page, what) {
  check(await page.evaluate(() => document.documentElement.lang) === 'en', `${what}: html has lang="en"`);
  check(await page.getByRole('heading', { level: 1 }).count() === 1, `${what}: one top heading`);
  check(await page.locator('main > h1:first-child').count() === 1, `${what}: the heading opens main`);
  check(await page.evaluate(() => document.scripts.length) === 0, `${what}: no script element`);
  const ids = await page.evaluate(() => [...document.querySelectorAll('[id]')].map((e) => e.id));
  check(new Set(ids).size === ids.length, `${what}: ${ids.length} ids, each once`);
  const loose = await page.evaluate((list) => {
    const found = list.filter((x) => document.title.includes(x) && !document.title.includes(`\u2068${x}\u2069`));
    const walk = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    for (let n = walk.nextNode(); n; n = walk.nextNode()) {
      const around = n.parentElement.closest('bdi, [dir="auto"]');
      found.push(...list.filter((x) => n.data.includes(x) && around?.textContent !== x));
    }
    return found;
  }, names);
  check(loose.length === 0, `${what}: each name is isolated ${loose}`);
  const report = await validator.validateString(await (await fetch(page.url())).text(), what);
  for (const m of report.results.flatMap((r) => r.messages)) console.log(`html: ${m.line}:${m.column} ${m.message}`);
  check(report.valid, `${what}: html-validate finds no errors`);
}

// At 320 px wide: only the tables scroll, each in a region named by its
// caption that the keyboard can reach.
async function checkNarrow(page, url, what) {
  await page.goto(url, { waitUntil: 'load' });
  check(await page.evaluate(() => document.documentElement.scrollWidth) <= 320, `${what}: the page fits 320 px`);
  for (const name of await page.locator('caption').allTextContents()) {
    const region = page.getByRole('region', { name, exact: true });
    check(await region.evaluate((r) => r.tabIndex === 0 && r.contains(r.querySelector('table'))),
      `${what}: the table ${name} in a focusable region of its name`);
  }
}

// Runs axe-core on the page as it is and fails on any violation, listing them.
async function checkAxe(page, what) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  for (const v of result.violations) {
    console.log(`axe: ${what}: ${v.id} (${v.impact}): ${v.help}`);
    for (const node of v.nodes) console.log(`  at ${node.target.join(' ')}: ${node.failureSummary}`);
  }
  check(result.violations.length === 0, `axe-core finds no violations on ${what}`);
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
  // A group of its own, so that the helpers a browser starts end with it.
  const child = spawn(cmd, args, { stdio: ['ignore', 'ignore', 'pipe'], detached: true });
  child.log = '';
  child.stderr.on('data', (d) => { child.log += d; });
  children.push(child);
  return child;
}

async function main() {
  const server = start(serverExe, ['--port', '0', '--db', path.join(work, 'scores.db'), '--rate-limit', '0']);
  const [, port] = await waitFor(() => server.log, /listening on http:\/\/127\.0\.0\.1:(\d+)/, 'the server');
  const base = `http://127.0.0.1:${port}`;

  const post = async (game, score, name, n) => {
    const id = `00000000-0000-4000-8000-${String(n).padStart(12, '0')}`;
    const res = await fetch(`${base}/api/scores`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ game, score, name, id }),
    });
    return res.status;
  };
  const posts = [[hostile, 50, 1], ['Ann', 30, 2], ['', 10, 3]];
  for (const [name, score, n] of posts) check(await post('Barnblast V2', score, name, n) === 201, `score ${score} stored`);
  check(await post(rtlGame, 7, rtlName, 4) === 201, 'a right-to-left name in a right-to-left game stored');
  // Two pages of another game, the hostile name's best on the second.
  let stored = 0;
  for (let i = 0; i < 29; ++i) stored += await post(longGame, 1000 - i, `player ${i}`, 100 + i) === 201;
  stored += await post(longGame, 5, hostile, 200) === 201;
  check(stored === 30, '30 scores of a second game stored');

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

    await checkPage(page, 'the front page');
    check(await page.getByRole('heading', { level: 2, name: 'Barnblast V2' }).count() === 1, 'a heading per game');

    const table = page.getByRole('table', { name: /Barnblast V2/ });
    check(await table.count() === 1, 'the table is named by its caption');
    const columns = await table.getByRole('columnheader').allTextContents();
    check(JSON.stringify(columns) === JSON.stringify(['Rank', 'Name', 'Score', 'Time (UTC)', 'Checked']),
      `column header cells: ${columns}`);
    const unchecked = await table.getByRole('row').nth(1).getByRole('cell').last().textContent();
    check(/not checked|unverified/i.test(unchecked), `a score posted without its round says so in words: ${unchecked}`);
    const ranks = await table.getByRole('rowheader').allTextContents();
    check(JSON.stringify(ranks) === '["1","2","3"]', `row header cells: ${ranks}`);

    const cell = table.getByRole('cell', { name: hostile, exact: true });
    check(await cell.count() === 1, 'the stored markup is shown as text');
    const firstRow = await table.getByRole('row').nth(1).allInnerTexts();
    check(firstRow[0].includes(hostile) && firstRow[0].includes('50'), 'it is the best score');
    check(dialogs.length === 0, 'no alert ran');

    const collapse = await table.evaluate((t) => getComputedStyle(t).borderCollapse);
    check(collapse === 'collapse', 'the stylesheet loads under the policy');
    fs.mkdirSync(artifactDir, { recursive: true });
    const shot = path.join(artifactDir, 'scoreboard-page.png');
    await page.screenshot({ path: shot, fullPage: true });
    check(fs.statSync(shot).size > 0, `screenshot saved to ${shot}`);
    await checkAxe(page, 'the front page');

    // Every game's rows have ids of their own: a link to each lands on that very row.
    const [rows, missed] = await page.evaluate(() => {
      const all = [...document.querySelectorAll('tbody tr')];
      return [all.length, all.filter((r) => { location.hash = r.id; return document.querySelector(':target') !== r; })];
    });
    check(rows === 14 && missed.length === 0, `a link to each of the ${rows} rows lands on it`);

    // The second game's table, reached from the front page, page by page.
    await page.getByRole('link', { name: `All scores of ${longGame}` }).click();
    await page.waitForLoadState('load');
    check(new URL(page.url()).pathname === '/games/Long%20%26%20%3Cgame%3E', `the game's page: ${page.url()}`);
    await checkPage(page, 'the first page of a game');
    check(await page.getByRole('heading', { level: 1, name: longGame }).count() === 1, 'the game is the heading');
    const firstPage = page.getByRole('table', { name: /Long & <game>: scores 1 to 25 of 30/ });
    check(await firstPage.count() === 1, 'the first page names its rows in the caption');
    const firstRanks = await firstPage.getByRole('rowheader').allTextContents();
    check(firstRanks.length === 25 && firstRanks[0] === '1' && firstRanks[24] === '25', 'ranks 1 to 25');
    check(await page.locator('a[rel="prev"]').count() === 0, 'no previous page from the first');
    await page.screenshot({ path: path.join(artifactDir, 'scoreboard-game-page.png'), fullPage: true });
    await checkAxe(page, 'the first page of a game');

    await page.getByRole('link', { name: 'Next page' }).click();
    await page.waitForLoadState('load');
    check(new URL(page.url()).search === '?page=2', `next leads to page 2: ${page.url()}`);
    await checkPage(page, 'the second page of a game');
    const secondRanks = await page.getByRole('table').getByRole('rowheader').allTextContents();
    check(JSON.stringify(secondRanks) === '["26","27","28","29","30"]', `ranks 26 to 30: ${secondRanks}`);
    check(await page.locator('a[rel="next"]').count() === 0, 'no next page from the last');
    check(await page.getByRole('cell', { name: hostile, exact: true }).count() === 1, 'the markup name is text here too');
    await checkAxe(page, 'the last page of a game');

    // The hostile name's own page, and back to its row.
    await page.getByRole('link', { name: hostile, exact: true }).click();
    await page.waitForLoadState('load');
    await checkPage(page, 'a player page');
    check(await page.getByRole('heading', { level: 1, name: hostile }).count() === 1, 'the name is the heading');
    const bests = page.getByRole('table');
    check((await bests.getByRole('rowheader').allTextContents()).join('|') === `Barnblast V2|${longGame}`,
      'one row per game, by name');
    const bestRows = await bests.getByRole('row').allInnerTexts();
    check(/^Barnblast V2\s+50\s+1\s/.test(bestRows[1]) && /^Long & <game>\s+5\s+30\s/.test(bestRows[2]),
      `score and rank in each game: ${JSON.stringify(bestRows)}`);
    await checkAxe(page, 'a player page');
    await bests.getByRole('link', { name: longGame }).click();
    await page.waitForLoadState('load');
    check(page.url().endsWith('?page=2&you=%3Cscript%3Ealert%281%29%3C%2Fscript%3E#rank-30'),
      `the game link lands on the player's row: ${page.url()}`);
    check(await page.locator('#rank-30[aria-current="true"]').count() === 1, 'that row is on the page, marked');
    check(await page.getByRole('rowheader', { name: '30 (your score)', exact: true }).count() === 1,
      'its row header says it is the player\'s score');
    const background = (sel) => page.locator(sel).evaluate((r) => getComputedStyle(r).backgroundColor);
    check(await background('#rank-30') !== await background('#rank-29'), 'that row stands out from the others');
    await checkPage(page, 'a page of a game with the player\'s row');
    await checkAxe(page, 'a page of a game with the player\'s row');

    // This week's and today's tables, each linked from the others; every
    // score here was posted just now, so all are in both.
    for (const [title, period] of [['This week', 'week'], ['Today', 'day']]) {
      await page.getByRole('navigation', { name: 'Periods' }).getByRole('link', { name: title }).click();
      await page.waitForLoadState('load');
      check(new URL(page.url()).search === `?period=${period}`, `${title} leads to its view: ${page.url()}`);
      await checkPage(page, `${title}'s table`);
      const current = page.getByRole('navigation', { name: 'Periods' }).locator('[aria-current="page"]');
      check(await current.textContent() === title, `${title} is marked as the view shown`);
      const view = page.getByRole('table', { name: `${longGame}, ${title}: scores 1 to 25 of 30` });
      check(await view.count() === 1, `${title}'s table names its period and rows in the caption`);
      if (period === 'week') {
        await page.screenshot({ path: path.join(artifactDir, 'scoreboard-week-page.png'), fullPage: true });
      }
      await checkAxe(page, `${title}'s table`);
    }
    await page.getByRole('navigation', { name: 'Periods' }).getByRole('link', { name: 'All time' }).click();
    await page.waitForLoadState('load');
    check(new URL(page.url()).search === '', `All time leads back to the whole table: ${page.url()}`);

    // The right-to-left name, on its page and in its game's.
    await page.goto(`${base}/players/${encodeURIComponent(rtlName)}`, { waitUntil: 'load' });
    await checkPage(page, 'a right-to-left player\'s page');
    await page.getByRole('link', { name: rtlGame }).click();
    await page.waitForLoadState('load');
    await checkPage(page, 'a right-to-left game\'s page');

    // An address that leads nowhere, a page past the end of a table, a game
    // with no scores and a player name that no score could have.
    for (const [target, what, status] of [['/no/such/page', 'the page for a wrong address', 404],
      ['/games/Barnblast%20V2?page=2', 'the page past the end of a table', 404],
      [`/games/${encodeURIComponent(rtlName)}`, 'the page for a game with no scores', 404],
      ['/games/Barnblast%20V2?you=%0A', 'the page for a bad player name', 400]]) {
      const missing = await page.goto(base + target, { waitUntil: 'load' });
      check(missing.status() === status, `${what} answers ${status}`);
      await checkPage(page, what);
      check(await page.getByRole('link', { name: 'All games', exact: true }).count() === 1, `${what} leads back`);
      await checkAxe(page, what);
    }
    check(cspViolations.length === 0, `no policy violations: ${cspViolations}`);

    const narrow = await context.newPage();
    await narrow.setViewportSize({ width: 320, height: 640 });
    const gamePath = `${base}/games/${encodeURIComponent(longGame)}`;
    for (const [url, what] of [[`${base}/`, 'the front page'], [gamePath, 'a game\'s table'],
      [`${gamePath}?period=week`, 'this week\'s table'],
      [`${base}/players/${encodeURIComponent(hostile)}`, 'a player page']]) {
      await checkNarrow(narrow, url, `at 320 px, ${what}`);
    }
    await narrow.goto(gamePath, { waitUntil: 'load' });
    await narrow.screenshot({ path: path.join(artifactDir, 'scoreboard-narrow-game-page.png'), fullPage: true });
  } finally {
    await browser.close().catch(() => {});
  }
}

// Ends the children and every process they started, and waits for them all
// before removing their files: a browser's helpers outlive its main process
// for a moment and keep writing to its profile.
const groupAlive = (c) => { try { process.kill(-c.pid, 0); return true; } catch { return false; } };
async function cleanup() {
  await Promise.all(children.map((c) => new Promise((resolve) => {
    if (c.exitCode !== null || c.signalCode !== null) return resolve();
    const force = setTimeout(() => c.kill('SIGKILL'), 5000);
    c.once('exit', () => { clearTimeout(force); resolve(); });
    c.kill('SIGTERM');
  })));
  for (const c of children) if (groupAlive(c)) process.kill(-c.pid, 'SIGKILL');
  for (let i = 0; i < 100 && children.some(groupAlive); ++i) await new Promise((r) => setTimeout(r, 100));
  try {
    fs.rmSync(work, { recursive: true, force: true, maxRetries: 5 });
  } catch (err) {
    console.error(`left behind ${work}: ${err.message}`);
  }
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
