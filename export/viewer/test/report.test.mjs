// The demo's HTML report in headless Chromium, opened from disk, read against the timeline beside it (cell.json).
// Environment: KVR_REPORT_DIR (the demo's output), KVR_TEST_OUTPUT (screenshots), KVR_CHROMIUM (the browser).

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const reportDir = process.env.KVR_REPORT_DIR;
assert.ok(reportDir, 'KVR_REPORT_DIR names the folder of the demo report');
const outputDir = process.env.KVR_TEST_OUTPUT ?? join(reportDir, 'browser');
mkdirSync(outputDir, { recursive: true });
const timeline = JSON.parse(readFileSync(join(reportDir, 'cell.json'), 'utf8'));

// The state after each step, replayed here from the timeline: id -> record.
const states = [];
for (const step of timeline.steps) {
  const state = new Map(states.at(-1));
  for (const id of step.removed) state.delete(id);
  for (const record of step.entities) state.set(record.id, record);
  states.push(state);
}
const first = [...states[0].values()], find = (name) => first.find((record) => record.name === name);
const distance = (a, b) => Math.hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);

let browser, page, problems, requests;
before(async () => {
  browser = await chromium.launch({ executablePath: process.env.KVR_CHROMIUM || '/usr/bin/chromium', headless: true,
    // Software WebGL, and none of the browser's own calls to the network.
    args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--disable-quic',
      '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  ({ page, problems, requests } = await open(join(reportDir, 'cell.html')));
});
after(async () => { await page?.close(); await browser?.close(); });

// Opens a report file and waits for the viewer; collects errors and every URL the page asked for.
async function open(file) {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const problems = [], requests = [];
  page.on('pageerror', (error) => problems.push(String(error)));
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  page.on('request', (request) => requests.push(request.url()));
  await page.goto(pathToFileURL(file).href);
  await page.waitForFunction(() => window.kvrViewer && (window.kvrViewer.ready || window.kvrViewer.error), null,
    { timeout: 60000 });
  assert.equal(await page.evaluate(() => window.kvrViewer.error ?? null), null);
  return { page, problems, requests };
}
const viewer = (page, what) => page.evaluate(what);
const clickRow = (page, fullName) => page.click(`#kvr-tree .kvr-row[title="${fullName}"] .kvr-name`);

describe('the demo report', () => {
  test('loads from disk without a server, the network or errors, lists every entity and draws the cell', async () => {
    assert.deepEqual(problems, []);
    assert.deepEqual(requests.filter((url) => !/^(file|blob|data):/.test(url)), []);
    const rows = await page.$$eval('#kvr-tree .kvr-row',
      (all) => all.map((row) => ({ fullName: row.title, name: row.querySelector('.kvr-name').textContent })));
    assert.deepEqual(rows.map((row) => row.fullName).sort(), first.map((record) => record.fullName).sort());
    for (const row of rows) assert.ok(row.fullName.endsWith(row.name) || row.fullName === '/', row.fullName);
    // The 3-D view is not blank, and takes one draw per kind of thing, not one per entity.
    const drawn = await viewer(page, () => {
      const canvas = document.getElementById('kvr-canvas');
      const context = Object.assign(document.createElement('canvas'), { width: canvas.width, height: canvas.height })
        .getContext('2d');
      context.drawImage(canvas, 0, 0);
      const pixels = context.getImageData(0, 0, canvas.width, canvas.height).data, colours = new Set();
      let differing = 0;
      for (let i = 0; i < pixels.length; i += 4) {
        const [r, g, b] = pixels.slice(i, i + 3);
        if (Math.abs(r - 247) + Math.abs(g - 248) + Math.abs(b - 250) > 24) ++differing;
        colours.add((r >> 4) * 256 + (g >> 4) * 16 + (b >> 4));
      }
      return { share: differing / (pixels.length / 4), colours: colours.size, drawCalls: window.kvrViewer.drawCalls };
    });
    assert.ok(drawn.share > 0.002, `only ${(drawn.share * 100).toFixed(3)} % of the pixels are drawn`);
    assert.ok(drawn.colours > 8, `only ${drawn.colours} colours on the canvas`);
    assert.ok(drawn.drawCalls <= 12, `${drawn.drawCalls} draw calls`);
  });

  test('moving the time slider moves a body the shuttle carries as the timeline says; plays and pauses', async () => {
    const shuttle = first.find((record) => record.shuttle && record.group?.members.length);
    assert.ok(shuttle, 'the timeline has a shuttle with members');
    const members = new Set(shuttle.group.members.map((member) => member.entity));
    const carried = first.find((record) => record.body && members.has(record.spatialParent))?.id;
    assert.notEqual(carried, undefined, 'a body hangs on what the shuttle carries');
    const start = states[0].get(carried).base.position;
    const k = states.findIndex((s) => distance(s.get(carried).base.position, start) > 0.3);
    assert.ok(k > 0, 'the carried body moves');
    assert.ok(states[k].get(shuttle.id).shuttle.motionActive, 'the shuttle is under way then');
    const shown = () => page.evaluate((id) => window.kvrViewer.shownPosition(id), carried), shownAtStart = await shown();
    assert.ok(distance(shownAtStart, start) < 1e-4, `shown ${shownAtStart} instead of ${start}`);
    await page.focus('#kvr-slider');  // step by step with the keyboard, as a person would
    for (let i = 0; i < k; ++i) await page.keyboard.press('ArrowRight');
    assert.equal(await viewer(page, () => window.kvrViewer.step), k);
    assert.equal(await page.inputValue('#kvr-slider'), String(k));
    const expected = states[k].get(carried).base.position, moved = await shown();
    assert.ok(distance(moved, expected) < 1e-4, `shown ${moved} instead of ${expected} at step ${k}`);
    assert.ok(distance(moved, shownAtStart) > 0.3);
    assert.match(await page.textContent('#kvr-step'), new RegExp(`step ${k} of ${states.length - 1}`));
    await page.keyboard.press('Home');
    assert.ok(distance(await shown(), start) < 1e-4, 'back at the first step, the body is back where it started');
    await page.click('#kvr-play'); assert.equal(await page.textContent('#kvr-play'), 'Pause');
    await page.waitForFunction(() => window.kvrViewer.step >= 2, null, { timeout: 20000 });
    await page.click('#kvr-play'); assert.equal(await page.textContent('#kvr-play'), 'Play');
    const paused = await viewer(page, () => window.kvrViewer.step); await page.waitForTimeout(400);
    assert.equal(await viewer(page, () => window.kvrViewer.step), paused);
  });

  test('draws the shuttle\'s route, lists what it carries and highlights an entity clicked in the tree', async () => {
    const shuttle = first.find((record) => record.shuttle?.planner);
    const route = states[0].get(shuttle.shuttle.path), bracket = find('Bracket');
    assert.equal(await viewer(page, () => window.kvrViewer.routeSegments), route.path.points.length - 1);
    await clickRow(page, shuttle.fullName);
    const details = await page.textContent('#kvr-details');
    for (const member of shuttle.group.members) assert.ok(details.includes(states[0].get(member.entity).fullName), details);
    assert.ok(details.includes(`path      ${route.fullName}`), details);
    await clickRow(page, bracket.fullName);
    assert.equal(await viewer(page, () => window.kvrViewer.selected), bracket.id);
    assert.equal(await page.$$eval('#kvr-tree .kvr-selected', (rows) => rows.map((row) => row.title).join()),
      bracket.fullName);
    assert.match(await page.textContent('#kvr-details'), new RegExp(bracket.fullName));
  });

  test('shows who held the handed-over part along the slider, and its ghost where the plan ends', async () => {
    const housing = [...states.at(-1).values()].find((record) => record.name === 'Housing');
    const name = (id) => states.findLast((s) => s.has(id)).get(id).name;
    const expected = [], end = timeline.steps.at(-1).time;
    for (const step of timeline.steps) {
      for (const entry of (step.custody ?? []).filter((e) => e.body === housing.id)) {
        if (expected.length) expected.at(-1).to = step.time;
        if (entry.holder !== null) expected.push({ holder: name(entry.holder), from: step.time, to: end });
      }
    }
    assert.deepEqual(expected.map((interval) => interval.holder), ['Fixture', 'Gripper', 'Gripper2', 'Pallet']);
    await page.evaluate((k) => window.kvrViewer.setStep(k), states.length - 1);
    await clickRow(page, housing.fullName);
    const segments = await page.$$eval('#custody > *', (all) => all.map((segment) => {
      const box = segment.getBoundingClientRect();
      return { holder: segment.dataset.holder, from: Number(segment.dataset.from), to: Number(segment.dataset.to),
        handedOver: segment.dataset.handedOver === 'true', text: segment.textContent, left: box.left, right: box.right };
    }));
    assert.deepEqual(segments.map(({ holder, from, to }) => ({ holder, from, to })), expected);
    assert.equal(segments.at(-1).text, 'Pallet ▸ Cart');
    // Each hand-over: the segments touch, on the page too, within the slider.
    for (let i = 1; i < segments.length; ++i) {
      assert.ok(segments[i].handedOver, `${segments[i].holder} took it over`);
      assert.ok(Math.abs(segments[i].left - segments[i - 1].right) < 1.5, `${segments[i - 1].holder} | ${segments[i].holder}`);
      assert.ok(segments[i].right > segments[i].left + 5);
    }
    const slider = await page.$eval('#kvr-slider', (input) => input.getBoundingClientRect());
    assert.ok(segments[0].left >= slider.left && segments.at(-1).right <= slider.right);
    // The slider ends where the cart's move ends, past the recording, with the ghost where the forecast says.
    const forecast = timeline.steps.flatMap((step) => step.forecast ?? []).filter((e) => e.body === housing.id).at(-1);
    assert.ok(forecast.time > end);
    await page.focus('#kvr-slider'); await page.keyboard.press('End');
    assert.equal(await viewer(page, () => window.kvrViewer.time), forecast.time);
    const ghost = await viewer(page, () => window.kvrViewer.ghost);
    assert.ok(ghost && distance(ghost, forecast.location.position) < 1e-6, `ghost at ${ghost}`);
    assert.match(await page.textContent('#kvr-step'), /forecast/);
    await page.keyboard.press('ArrowLeft'); assert.equal(await viewer(page, () => window.kvrViewer.ghost), null);
    await page.screenshot({ path: join(outputDir, 'custody.png') });
    await page.check('#kvr-show-names');  // names in the view, on request
    await page.waitForFunction(() => document.querySelectorAll('#kvr-names span').length > 0);
    const names = await page.$$eval('#kvr-names span', (all) => all.map((label) => label.textContent));
    assert.ok(names.includes('Housing') && names.includes('Gripper2'), names.join());
    await page.uncheck('#kvr-show-names');
  });

  test('names an entity under the mouse', async () => {
    const conveyor = find('Conveyor');  // alone, with nothing in front of it
    const at = await page.evaluate((id) => {
      const { camera } = window.kvrViewer.three;
      const [x, y, z] = window.kvrViewer.shownPosition(id);
      const rect = document.getElementById('kvr-canvas').getBoundingClientRect();
      const p = camera.position.clone().set(x, y, z).project(camera);
      return [rect.left + (p.x + 1) / 2 * rect.width, rect.top + (1 - p.y) / 2 * rect.height];
    }, conveyor.id);
    await page.mouse.move(at[0], at[1]);
    await page.waitForFunction((name) => {
      const label = document.getElementById('kvr-label');
      return !label.hidden && label.textContent.startsWith(name + ' ');
    }, conveyor.fullName, { timeout: 10000 });
    assert.equal(await viewer(page, () => window.kvrViewer.hovered), conveyor.id);
  });
});

// The demo's data with two entities renamed, escaped as the library does.
test('names that look like markup are shown as text, never run', async () => {
  const hostile = ['<img src=x onerror="window.kvrPwned=1">', '</script><script>window.kvrPwned=2</script>'];
  const data = structuredClone(timeline);
  Object.assign(data.steps[0].entities[1], { name: hostile[0], fullName: '/' + hostile[0] });
  data.steps[0].entities[2].name = hostile[1];
  const escaped = JSON.stringify(data).replace(/</g, '\\u003c').replace(/>/g, '\\u003e').replace(/&/g, '\\u0026');
  const html = readFileSync(join(reportDir, 'cell.html'), 'utf8');
  const start = html.indexOf('id="kvr-data">') + 'id="kvr-data">'.length;
  const file = join(outputDir, 'hostile.html');
  writeFileSync(file, html.slice(0, start) + escaped + html.slice(html.indexOf('</script>', start)));
  const { page, problems } = await open(file);
  assert.deepEqual(problems, []);
  assert.equal(await viewer(page, () => window.kvrPwned ?? null), null);
  assert.equal(await page.locator('img').count(), 0);
  const names = await page.$$eval('#kvr-tree .kvr-name', (all) => all.map((name) => name.textContent));
  for (const name of hostile) assert.ok(names.includes(name), `${name} is not shown as text`);
  await page.close();
});
