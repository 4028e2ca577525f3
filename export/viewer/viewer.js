// The viewer of the world model's HTML report. It reads the snapshot or
// timeline embedded in the page (#kvr-data) and shows it: a 3-D view, the
// logical tree, and a time slider over the steps.
//
// Everything of one kind is drawn in one go, whatever the size of the world:
// bodies as one instanced mesh of boxes, frames as one set of line segments
// (three per triad), tag points as one point cloud, paths and the links from
// bodies to the bodies they hang on as one set of line segments each.
//
// A timeline's custody and forecast lists give, for the selected body, a
// strip of who held it along the time slider and a translucent ghost where a
// shuttle's plan will put it when the move ends.
//
// What the page shows is published as window.kvrViewer (bottom of this file).

import * as THREE from 'three';
import { OrbitControls } from 'three/addons/controls/OrbitControls.js';

const SNAPSHOT = 'KVRWorldModel snapshot';
const TIMELINE = 'KVRWorldModel timeline';
// Up to this many entities the whole tree is open at the start.
const OPEN_TREE_LIMIT = 2000;
// Deeper rows stop indenting and show their depth instead.
const MAX_INDENT = 40;

const $ = (id) => document.getElementById(id);

// --- The data -------------------------------------------------------------

const data = JSON.parse($('kvr-data').textContent);
if (data.format !== SNAPSHOT && data.format !== TIMELINE) throw new Error('unknown data format ' + data.format);
const steps = data.format === SNAPSHOT
  ? [{ step: 0, time: data.time ?? 0, removed: [], entities: data.entities }]
  : data.steps.length ? data.steps : [{ step: 0, time: 0, removed: [], entities: [] }];

const isRef = (ref) => typeof ref === 'number';
// A location's position and rotation, or null when it has none or a non-finite number.
function placement(location) {
  if (!location || location.nonFinite) return null;
  const p = location.position, q = location.quaternion;
  if (!p || !q || [...p, ...q].some((v) => typeof v !== 'number')) return null;
  return { position: new THREE.Vector3(p[0], p[1], p[2]), quaternion: new THREE.Quaternion(q[1], q[2], q[3], q[0]) };
}
function kindOf(record) {
  if (record.body) return 'body';
  if (record.tagPoint) return 'tagPoint';
  if (record.path) return 'path';
  if (record.base) return 'frame';  // frames and any other 3-D entity: a triad
  return 'none';
}

// Every id the data ever mentions gets a drawing slot of its kind, once.
const slots = { body: [], frame: [], tagPoint: [], path: [] };
const slotOf = new Map();
const bounds = new THREE.Box3(), bodyBounds = new THREE.Box3();
// The last name each id had, for the custody strip.
const nameOf = new Map();
for (const step of steps) {
  for (const record of step.entities) {
    const kind = kindOf(record);
    if (!slotOf.has(record.id) && kind !== 'none') {
      slotOf.set(record.id, { kind, index: slots[kind].length });
      slots[kind].push(record.id);
    }
    nameOf.set(record.id, record.name);
    const at = placement(record.base);
    if (at) bounds.expandByPoint(at.position);
    if (at && kind === 'body') bodyBounds.expandByPoint(at.position);
  }
}
if (bounds.isEmpty()) bounds.set(new THREE.Vector3(-1, -1, -1), new THREE.Vector3(1, 1, 1));
if (bodyBounds.isEmpty()) bodyBounds.copy(bounds);

// Who held each body, from the steps' custody lists: id -> intervals in
// time order, each { holder, hold, carriers, from, to, fromStep, toStep,
// open, handedOver }. An interval ends where the next begins (a hand-over)
// or where nothing holds the body any more.
const custody = new Map();
{
  const current = new Map();
  const close = (id, k) => {
    const open = current.get(id);
    if (!open) return null;
    open.to = Number(steps[k].time);
    open.toStep = k;
    open.open = false;
    current.delete(id);
    return open;
  };
  steps.forEach((step, k) => {
    for (const id of step.removed ?? []) close(id, k);
    for (const entry of step.custody ?? []) {
      const before = close(entry.body, k);
      if (entry.holder === null || entry.holder === undefined) continue;
      const interval = { holder: entry.holder, hold: entry.hold, carriers: entry.carriers ?? [], from: Number(step.time),
        fromStep: k, to: Number(step.time), toStep: k, open: true, handedOver: Boolean(before) };
      if (!custody.has(entry.body)) custody.set(entry.body, []);
      custody.get(entry.body).push(interval);
      current.set(entry.body, interval);
    }
  });
  const last = steps.length - 1;
  for (const interval of current.values()) {
    interval.to = Number(steps[last].time);
    interval.toStep = last;
  }
}
// Forecasts: id -> [{ step, time, location }] in step order.
const forecasts = new Map();
let forecastEnd = -Infinity;
steps.forEach((step, k) => {
  for (const entry of step.forecast ?? []) {
    const at = placement(entry.location);
    if (!at || typeof entry.time !== 'number') continue;
    if (!forecasts.has(entry.body)) forecasts.set(entry.body, []);
    forecasts.get(entry.body).push({ step: k, time: entry.time, at });
    forecastEnd = Math.max(forecastEnd, entry.time);
  }
});
// The slider goes one position past the last step when a forecast reaches beyond it.
const lastStep = steps.length - 1;
const lookAhead = forecastEnd > Number(steps[lastStep].time) + 1e-9;
const positions = steps.length + (lookAhead ? 1 : 0);
const timeAt = (k) => (k > lastStep ? forecastEnd : Number(steps[k].time));
const extent = Math.max(bounds.getSize(new THREE.Vector3()).length(), 0.2);
const center = bounds.getCenter(new THREE.Vector3());
// Boxes small enough not to hide their neighbours in a crowded cell.
const boxSize = Math.min(extent / 20, 0.5 * extent / Math.sqrt(Math.max(slots.body.length, 1)));

// The state at the shown step: id -> record.
let state = new Map();
let shownStep = -1;
function applyStep(k) {
  let structure = false;
  for (const id of steps[k].removed ?? []) structure = state.delete(id) || structure;
  for (const record of steps[k].entities) {
    const before = state.get(record.id);
    if (!before || before.name !== record.name || before.logicalParent !== record.logicalParent) structure = true;
    state.set(record.id, record);
  }
  return structure;
}
function goTo(k) {
  let structure = false;
  if (k < shownStep) {
    state = new Map();
    shownStep = -1;
    structure = true;
  }
  for (let s = shownStep + 1; s <= k; ++s) structure = applyStep(s) || structure;
  shownStep = k;
  return structure;
}

// --- The 3-D view ---------------------------------------------------------

const canvas = $('kvr-canvas');
// Past this many things drawn, a large world is drawn without multisampling,
// and frame triads only close up (frames far off show as dots).
const LARGE_WORLD = 20000;
const drawnCount = slots.body.length + slots.frame.length + slots.tagPoint.length;
const renderer = new THREE.WebGLRenderer({ canvas, antialias: drawnCount <= LARGE_WORLD, preserveDrawingBuffer: true });
renderer.setPixelRatio(Math.min(window.devicePixelRatio, 2));
const scene = new THREE.Scene();
scene.background = new THREE.Color(0xf7f8fa);
const camera = new THREE.PerspectiveCamera(45, 1, extent / 1000, extent * 100);
camera.up.set(0, 0, 1);  // the cell's z points up
camera.position.copy(center).add(new THREE.Vector3(0.9, -1.3, 0.8).multiplyScalar(extent * 0.6));
const controls = new OrbitControls(camera, canvas);
controls.target.copy(center);
controls.enableDamping = true;
controls.update();

scene.add(new THREE.HemisphereLight(0xffffff, 0x8899aa, 2.2));
const sun = new THREE.DirectionalLight(0xffffff, 1.4);
sun.position.set(1, -2, 3);
scene.add(sun);
// The floor grid covers the bodies with a margin, its lines 1, 2 or 5 times a
// power of ten apart, ten to thirty of them across.
const floorSpan = Math.max(bodyBounds.max.x - bodyBounds.min.x, bodyBounds.max.y - bodyBounds.min.y, boxSize * 4) * 1.3;
const spacing = (() => {
  const rough = floorSpan / 15, power = Math.pow(10, Math.floor(Math.log10(rough)));
  return [1, 2, 5, 10].map((f) => f * power).find((s) => s >= rough);
})();
const gridLines = Math.max(2, 2 * Math.ceil(floorSpan / spacing / 2));
const grid = new THREE.GridHelper(gridLines * spacing, gridLines, 0xc3cad3, 0xdde2e8);
grid.rotation.x = Math.PI / 2;  // onto the x-y plane
const bodyCenter = bodyBounds.getCenter(new THREE.Vector3());
grid.position.set(Math.round(bodyCenter.x / spacing) * spacing, Math.round(bodyCenter.y / spacing) * spacing,
  Math.min(bounds.min.z, 0));
scene.add(grid);
scene.add(new THREE.AxesHelper(boxSize * 4));

const BODY = new THREE.Color(0x4f7cac), CARRIED = new THREE.Color(0xe07b00), PICKED = new THREE.Color(0xf2c200);
// Each body its own hue, so that bodies standing together stay apart; a
// carried body takes on the colour of carrying, keeping a little of its own.
const bodyColors = slots.body.map((id, i) => new THREE.Color().setHSL((0.58 + i * 0.618034) % 1, 0.42, 0.5));
const carriedColors = bodyColors.map((color) => color.clone().lerp(CARRIED, 0.75));
const bodies = new THREE.InstancedMesh(new THREE.BoxGeometry(boxSize, boxSize, boxSize),
  new THREE.MeshStandardMaterial({ roughness: 0.6, metalness: 0.1 }), Math.max(slots.body.length, 1));
bodies.count = slots.body.length;
bodies.frustumCulled = false;
scene.add(bodies);

const axisLength = boxSize * 0.9;
const frameLines = new THREE.LineSegments(new THREE.BufferGeometry(), new THREE.LineBasicMaterial({ vertexColors: true }));
frameLines.geometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(slots.frame.length * 18), 3));
{
  const colors = new Float32Array(slots.frame.length * 18);
  const rgb = [[0.85, 0.2, 0.2], [0.2, 0.65, 0.3], [0.2, 0.35, 0.85]];
  for (let i = 0; i < slots.frame.length; ++i)
    for (let a = 0; a < 3; ++a)
      for (let v = 0; v < 2; ++v) colors.set(rgb[a], i * 18 + a * 6 + v * 3);
  frameLines.geometry.setAttribute('color', new THREE.BufferAttribute(colors, 3));
}
frameLines.frustumCulled = false;
scene.add(frameLines);
// Frame origins, for picking and to see frames from afar.
const frameDots = new THREE.Points(new THREE.BufferGeometry(),
  new THREE.PointsMaterial({ color: 0x39424e, size: 3, sizeAttenuation: false }));
frameDots.geometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(slots.frame.length * 3), 3));
frameDots.frustumCulled = false;
scene.add(frameDots);

const tagPoints = new THREE.Points(new THREE.BufferGeometry(),
  new THREE.PointsMaterial({ color: 0x8a5cb8, size: 6, sizeAttenuation: false }));
tagPoints.geometry.setAttribute('position', new THREE.BufferAttribute(new Float32Array(slots.tagPoint.length * 3), 3));
tagPoints.frustumCulled = false;
scene.add(tagPoints);

const pathLines = new THREE.LineSegments(new THREE.BufferGeometry(), new THREE.LineBasicMaterial({ color: 0x8a5cb8 }));
pathLines.frustumCulled = false;
scene.add(pathLines);
const hangLines = new THREE.LineSegments(new THREE.BufferGeometry(),
  new THREE.LineBasicMaterial({ color: 0x9aa5b1, transparent: true, opacity: 0.7 }));
hangLines.frustumCulled = false;
scene.add(hangLines);

// The selected body where its forecast puts it.
const ghost = new THREE.Mesh(new THREE.BoxGeometry(boxSize, boxSize, boxSize),
  new THREE.MeshStandardMaterial({ color: PICKED, transparent: true, opacity: 0.35, depthWrite: false }));
ghost.add(new THREE.LineSegments(new THREE.EdgesGeometry(ghost.geometry),
  new THREE.LineBasicMaterial({ color: CARRIED, transparent: true, opacity: 0.8 })));
ghost.visible = false;
scene.add(ghost);

const marker = new THREE.LineSegments(new THREE.EdgesGeometry(new THREE.BoxGeometry(boxSize * 1.6, boxSize * 1.6, boxSize * 1.6)),
  new THREE.LineBasicMaterial({ color: PICKED }));
marker.visible = false;
scene.add(marker);

// The routes of shuttles: their paths again, in the colour of carrying, drawn
// over the path's own line.
const routeLines = new THREE.LineSegments(new THREE.BufferGeometry(),
  new THREE.LineBasicMaterial({ color: CARRIED, transparent: true, opacity: 0.8 }));
routeLines.frustumCulled = false;
scene.add(routeLines);

const HIDDEN = new THREE.Matrix4().makeScale(0, 0, 0);
// Hidden points stand at NaN, which no bounds computed from them would survive:
// the point clouds are given bounds that hold the whole cell instead.
const everywhere = new THREE.Sphere(center, extent * 10);
const matrix = new THREE.Matrix4(), unit = new THREE.Vector3(1, 1, 1), axis = new THREE.Vector3();
// Where the shown step puts every entity: id -> { position, quaternion }.
let placed = new Map();

// The bodies being carried at the shown step: those grabbed, the members of
// active groups and of shuttles under way, and whatever hangs below them.
function carriedBodies() {
  const carriers = new Set();
  for (const [id, record] of state) {
    if (record.body?.transientState) carriers.add(id);
    const group = record.group;
    if (!group?.active || (record.shuttle && !record.shuttle.motionActive)) continue;
    for (const member of group.members) if (isRef(member.entity)) carriers.add(member.entity);
  }
  const carried = new Map();
  const isCarried = (id) => {
    const chain = [];
    let answer = false;
    for (let at = id; isRef(at) && state.has(at); at = state.get(at).spatialParent) {
      if (carried.has(at)) { answer = carried.get(at); break; }
      if (carriers.has(at)) { answer = true; break; }
      if (chain.includes(at)) break;
      chain.push(at);
    }
    for (const link of chain) carried.set(link, answer);
    return answer;
  };
  return new Set(slots.body.filter(isCarried));
}

function draw() {
  placed = new Map();
  for (const [id, record] of state) {
    const at = placement(record.base);
    if (at) placed.set(id, at);
  }
  const carried = carriedBodies();
  slots.body.forEach((id, i) => {
    const at = placed.get(id);
    bodies.setMatrixAt(i, at ? matrix.compose(at.position, at.quaternion, unit) : HIDDEN);
    bodies.setColorAt(i, id === selected ? PICKED : carried.has(id) ? carriedColors[i] : bodyColors[i]);
  });
  bodies.instanceMatrix.needsUpdate = true;
  if (bodies.instanceColor) bodies.instanceColor.needsUpdate = true;
  bodies.computeBoundingSphere();

  const triads = frameLines.geometry.attributes.position.array, dots = frameDots.geometry.attributes.position.array;
  slots.frame.forEach((id, i) => {
    const at = placed.get(id);
    for (let a = 0; a < 3; ++a) {
      const o = i * 18 + a * 6;
      if (!at) {
        triads.fill(0, o, o + 6);
        continue;
      }
      axis.set(a === 0 ? 1 : 0, a === 1 ? 1 : 0, a === 2 ? 1 : 0).applyQuaternion(at.quaternion);
      at.position.toArray(triads, o);
      axis.multiplyScalar(axisLength).add(at.position).toArray(triads, o + 3);
    }
    (at ? at.position : new THREE.Vector3(NaN, NaN, NaN)).toArray(dots, i * 3);
  });
  frameLines.geometry.attributes.position.needsUpdate = true;
  frameDots.geometry.attributes.position.needsUpdate = true;
  frameDots.geometry.boundingSphere = everywhere;

  const points = tagPoints.geometry.attributes.position.array;
  slots.tagPoint.forEach((id, i) => {
    (placed.get(id)?.position ?? new THREE.Vector3(NaN, NaN, NaN)).toArray(points, i * 3);
  });
  tagPoints.geometry.attributes.position.needsUpdate = true;
  tagPoints.geometry.boundingSphere = everywhere;

  const segments = [], hangs = [], routes = [];
  const line = (path, into) => {
    const route = (state.get(path)?.path?.points ?? []).map((ref) => placed.get(ref)).filter(Boolean);
    for (let i = 1; i < route.length; ++i) into.push(...route[i - 1].position.toArray(), ...route[i].position.toArray());
  };
  for (const id of slots.path) line(id, segments);
  for (const id of slots.body) {
    const path = state.get(id)?.shuttle?.path;
    if (isRef(path)) line(path, routes);
  }
  for (const id of slots.body) {
    const inner = state.get(id)?.spatialParent;
    if (isRef(inner) && placed.has(inner) && placed.has(id))
      hangs.push(...placed.get(inner).position.toArray(), ...placed.get(id).position.toArray());
  }
  for (const [lines, vertices] of [[pathLines, segments], [hangLines, hangs], [routeLines, routes]]) {
    lines.geometry.dispose();
    lines.geometry = new THREE.BufferGeometry();
    lines.geometry.setAttribute('position', new THREE.Float32BufferAttribute(vertices, 3));
  }

  const picked = placed.get(selected);
  marker.visible = Boolean(picked);
  if (picked) marker.position.copy(picked.position);
  const forecast = shownForecast();
  ghost.visible = Boolean(forecast);
  if (forecast) {
    ghost.position.copy(forecast.at.position);
    ghost.quaternion.copy(forecast.at.quaternion);
  }
  requestRender();
}

// The forecast of the selected body that ends at the shown time: the last one
// written up to the shown step.
function shownForecast() {
  const list = forecasts.get(selected);
  if (!list) return null;
  let latest = null;
  for (const forecast of list) if (forecast.step <= shownStep) latest = forecast;
  return latest && Math.abs(latest.time - timeAt(shownPosition)) < 1e-6 ? latest : null;
}

let renderRequested = true;
function requestRender() { renderRequested = true; }
function resize() {
  const { clientWidth: w, clientHeight: h } = canvas.parentElement;
  if (canvas.width === Math.floor(w * renderer.getPixelRatio()) && canvas.height === Math.floor(h * renderer.getPixelRatio())) return;
  renderer.setSize(w, h, false);
  camera.aspect = w / Math.max(h, 1);
  camera.updateProjectionMatrix();
  requestRender();
}
// Names in the 3-D view, on request: one label per body standing in the view.
const MAX_NAMES = 400;
const namesBox = $('kvr-names'), namesToggle = $('kvr-show-names');
const nameVector = new THREE.Vector3();
function placeNames() {
  if (!namesToggle.checked) {
    if (namesBox.childElementCount) namesBox.replaceChildren();
    return;
  }
  const shown = slots.body.filter((id) => placed.has(id)).slice(0, MAX_NAMES);
  while (namesBox.childElementCount < shown.length) namesBox.append(document.createElement('span'));
  while (namesBox.childElementCount > shown.length) namesBox.lastChild.remove();
  const { clientWidth: w, clientHeight: h } = canvas;
  shown.forEach((id, i) => {
    const label = namesBox.children[i];
    nameVector.copy(placed.get(id).position).project(camera);
    label.textContent = state.get(id)?.name ?? '';
    label.dataset.id = id;
    label.hidden = nameVector.z > 1 || Math.abs(nameVector.x) > 1 || Math.abs(nameVector.y) > 1;
    label.style.transform = `translate(${((nameVector.x + 1) / 2) * w}px, ${((1 - nameVector.y) / 2) * h}px)`;
  });
}
namesToggle.addEventListener('change', requestRender);

function levelOfDetail() {
  if (slots.frame.length > LARGE_WORLD / 4) frameLines.visible = camera.position.distanceTo(controls.target) < extent * 0.1;
}
controls.addEventListener('change', () => {
  levelOfDetail();
  requestRender();
});
window.addEventListener('resize', resize);

// --- Hover labels and picking ---------------------------------------------

const raycaster = new THREE.Raycaster();
raycaster.params.Points.threshold = boxSize * 0.4;
const pointer = new THREE.Vector2();
let pointerEvent = null, hovered = null;
function idUnder(event) {
  const rect = canvas.getBoundingClientRect();
  pointer.set(((event.clientX - rect.left) / rect.width) * 2 - 1, -((event.clientY - rect.top) / rect.height) * 2 + 1);
  raycaster.setFromCamera(pointer, camera);
  const hits = raycaster.intersectObjects([bodies, tagPoints, frameDots], false);
  for (const hit of hits) {
    if (hit.object === bodies && hit.instanceId !== undefined) return slots.body[hit.instanceId];
    if (hit.object === tagPoints) return slots.tagPoint[hit.index];
    if (hit.object === frameDots) return slots.frame[hit.index];
  }
  return null;
}
function updateLabel() {
  if (!pointerEvent) return;
  const event = pointerEvent;
  pointerEvent = null;
  hovered = idUnder(event);
  const label = $('kvr-label');
  const record = state.get(hovered);
  label.hidden = !record;
  if (!record) return;
  label.textContent = `${record.fullName}  (${record.type})`;
  label.style.left = event.clientX + 14 + 'px';
  label.style.top = event.clientY + 10 + 'px';
}
canvas.addEventListener('pointermove', (event) => { pointerEvent = event; });
canvas.addEventListener('pointerleave', () => { $('kvr-label').hidden = true; });
let downAt = null;
canvas.addEventListener('pointerdown', (event) => { downAt = [event.clientX, event.clientY]; });
canvas.addEventListener('pointerup', (event) => {
  if (downAt && Math.hypot(event.clientX - downAt[0], event.clientY - downAt[1]) < 4) {
    const id = idUnder(event);
    if (id !== null) select(id);
  }
  downAt = null;
});

// --- The logical tree -----------------------------------------------------

const treeBox = $('kvr-tree');
const expanded = new Set();
let children = new Map(), roots = [], selected = null;

function buildStructure() {
  children = new Map();
  roots = [];
  for (const [id, record] of state) {
    const parent = record.logicalParent;
    if (isRef(parent) && state.has(parent)) {
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(id);
    } else {
      roots.push(id);
    }
  }
}
function depthOf(id) {
  let depth = 0;
  for (let r = state.get(id); r && isRef(r.logicalParent) && state.has(r.logicalParent); r = state.get(r.logicalParent)) ++depth;
  return depth;
}
function row(id, depth) {
  const record = state.get(id);
  const div = document.createElement('div');
  div.className = 'kvr-row' + (id === selected ? ' kvr-selected' : '');
  div.setAttribute('role', 'treeitem');
  div.dataset.id = id;
  div.title = record.fullName;
  div.style.paddingLeft = 8 + 14 * Math.min(depth, MAX_INDENT) + 'px';
  const toggle = document.createElement('span');
  toggle.className = 'kvr-toggle';
  toggle.textContent = children.has(id) ? (expanded.has(id) ? '▾' : '▸') : '';
  const name = document.createElement('span');
  name.className = 'kvr-name';
  name.textContent = record.name;
  const type = document.createElement('span');
  type.className = 'kvr-type';
  type.textContent = record.type;
  div.append(toggle, name, type);
  if (depth > MAX_INDENT) {
    const deep = document.createElement('span');
    deep.className = 'kvr-depth';
    deep.textContent = `depth ${depth}`;
    div.append(deep);
  }
  return div;
}
// The rows shown: each root, and below every open entity its children, in order.
function renderTree() {
  const filter = $('kvr-filter').value.trim().toLowerCase();
  const fragment = document.createDocumentFragment();
  if (filter) {
    let shown = 0;
    for (const [id, record] of state) {
      if (!record.fullName.toLowerCase().includes(filter)) continue;
      fragment.append(row(id, 0));
      if (++shown >= 5000) break;
    }
  } else {
    const pending = roots.map((id) => [id, 0]).reverse();
    while (pending.length) {
      const [id, depth] = pending.pop();
      fragment.append(row(id, depth));
      if (!expanded.has(id)) continue;
      const kids = children.get(id) ?? [];
      for (let k = kids.length - 1; k >= 0; --k) pending.push([kids[k], depth + 1]);
    }
  }
  treeBox.replaceChildren(fragment);
}
treeBox.addEventListener('click', (event) => {
  const div = event.target.closest('.kvr-row');
  if (!div) return;
  const id = Number(div.dataset.id);
  if (event.target.classList.contains('kvr-toggle') && children.has(id)) {
    if (expanded.has(id)) expanded.delete(id); else expanded.add(id);
    renderTree();
    return;
  }
  select(id);
});
$('kvr-filter').addEventListener('input', renderTree);

function details(record) {
  const lines = [record.fullName, `${record.type}  (${record.class})`];
  const base = record.base;
  if (base) {
    const f = (values) => values.map((v) => (typeof v === 'number' ? +v.toFixed(6) : 'null')).join('  ');
    lines.push(`position  ${f(base.position)}`, `rpy°      ${f(base.rpy)}`);
    if (base.nonFinite) lines.push('holds a non-finite number');
  }
  const c = record.body?.connection;
  if (c) lines.push(`hangs on  ${refName(c.innerBody)}  (${c.kind} ${c.name})`);
  if (record.path) lines.push(`points    ${record.path.points.length}`);
  const group = record.group;
  if (group) {
    lines.push(`${group.active ? 'active' : 'inactive'}, ${group.members.length} member${group.members.length === 1 ? '' : 's'}`);
    const Listed = 20;
    for (const member of group.members.slice(0, Listed)) lines.push(`  ${refName(member.entity)}`);
    if (group.members.length > Listed) lines.push(`  … and ${group.members.length - Listed} more`);
  }
  const shuttle = record.shuttle;
  if (shuttle?.planner) {
    const seconds = (t) => +Number(t).toFixed(3);
    lines.push(`path      ${refName(shuttle.path)}`,
      `times     ${shuttle.times.map(seconds).join('  ')} s from ${seconds(shuttle.scheduledStart)} s`,
      `moving    ${shuttle.motionActive ? 'yes' : 'no'}, ${seconds(shuttle.distance)} m along`);
  }
  const assembly = record.assembly;
  if (assembly) {
    lines.push(`bodies    ${assembly.bodies.map(refName).join(', ') || 'none'}`);
    if (assembly.parentAssembly !== null) lines.push(`part of   ${refName(assembly.parentAssembly)}`);
  }
  const frames = record.tagPoint?.referenceFrames;
  if (frames?.set) {
    const f = (location) => location.position.map((v) => (typeof v === 'number' ? +v.toFixed(6) : 'null')).join('  ');
    lines.push(`frames    ${f(frames.first)}  →  ${f(frames.second)}`);
  }
  if (record.events?.length) lines.push(`pending   ${record.events.join(' ')}`);
  return lines.join('\n');
}
function refName(ref) {
  if (isRef(ref)) return state.get(ref)?.fullName ?? `#${ref}`;
  return ref ?? 'nothing';
}

function select(id) {
  selected = state.has(id) ? id : null;
  // Open the way to it, so that its row is there to highlight.
  for (let r = state.get(selected); r && isRef(r.logicalParent) && state.has(r.logicalParent); r = state.get(r.logicalParent))
    expanded.add(r.logicalParent);
  renderTree();
  const div = treeBox.querySelector(`.kvr-row[data-id="${selected}"]`);
  div?.scrollIntoView({ block: 'nearest' });
  $('kvr-details').textContent = selected === null ? '' : details(state.get(selected));
  renderCustody();
  draw();
}

// --- Time -----------------------------------------------------------------

const slider = $('kvr-slider'), playButton = $('kvr-play');
slider.max = String(positions - 1);
if (positions < 2) $('kvr-time').hidden = true;
// The slider's position: a step, or one past the last for the forecasts' end.
let shownPosition = 0;
function showStep(k) {
  k = Math.max(0, Math.min(positions - 1, Math.trunc(k)));
  shownPosition = k;
  const structure = goTo(Math.min(k, lastStep));
  slider.value = String(k);
  $('kvr-step').textContent = k > lastStep
    ? `forecast, after step ${lastStep} · t = ${forecastEnd.toFixed(3)} s`
    : `step ${k} of ${lastStep} · t = ${Number(steps[k].time).toFixed(3)} s`;
  if (structure) {
    buildStructure();
    renderTree();
  }
  if (selected !== null) $('kvr-details').textContent = state.has(selected) ? details(state.get(selected)) : '';
  draw();
}

// The custody strip of the selected body along the slider: one segment per
// interval in which something held it, placed as the slider places its steps.
const strip = $('custody');
function sliderFraction(t) {
  if (positions < 2) return 0;
  let k = 0;
  while (k < positions - 1 && timeAt(k + 1) <= t) ++k;
  if (k >= positions - 1) return 1;
  const t0 = timeAt(k), t1 = timeAt(k + 1);
  return (k + (t1 > t0 ? Math.min(1, (t - t0) / (t1 - t0)) : 0)) / (positions - 1);
}
function holderName(ref) {
  if (isRef(ref)) return nameOf.get(ref) ?? `#${ref}`;
  return typeof ref === 'string' ? ref.split('/').filter(Boolean).pop() ?? ref : 'nothing';
}
function renderCustody() {
  const intervals = custody.get(selected) ?? [];
  const fragment = document.createDocumentFragment();
  for (const interval of intervals) {
    const segment = document.createElement('div');
    segment.className = 'kvr-held' + (interval.handedOver ? ' kvr-handed' : '');
    const label = [holderName(interval.holder), ...interval.carriers.map(holderName)].join(' ▸ ');
    const from = sliderFraction(interval.from), to = sliderFraction(interval.to);
    segment.style.left = `${from * 100}%`;
    segment.style.width = `${(to - from) * 100}%`;
    segment.textContent = label;
    segment.title = `${label}  (${interval.hold}) from ${interval.from} s to ${interval.to} s${interval.open ? ', still at the last step' : ''}`;
    Object.assign(segment.dataset, { holder: holderName(interval.holder), holderId: String(interval.holder),
      hold: interval.hold, carriers: interval.carriers.map(holderName).join(','), from: String(interval.from),
      to: String(interval.to), open: String(interval.open), handedOver: String(interval.handedOver) });
    fragment.append(segment);
  }
  strip.replaceChildren(fragment);
  strip.hidden = intervals.length === 0;
}
slider.addEventListener('input', () => showStep(Number(slider.value)));

let playing = false, nextStepAt = 0;
function setPlaying(on) {
  playing = on && positions > 1;
  if (playing && shownPosition >= positions - 1) showStep(0);
  playButton.textContent = playing ? 'Pause' : 'Play';
  nextStepAt = performance.now();
}
playButton.addEventListener('click', () => setPlaying(!playing));
function advance(now) {
  if (!playing || now < nextStepAt) return;
  if (shownPosition >= positions - 1) {
    setPlaying(false);
    return;
  }
  const dt = timeAt(shownPosition + 1) - timeAt(shownPosition);
  showStep(shownPosition + 1);
  // Real time where it is sensible, within a tenth of a second to a second a step.
  nextStepAt = now + Math.min(1000, Math.max(100, dt * 1000));
}

// --- Start ----------------------------------------------------------------

let frames = 0;
function loop(now) {
  resize();
  advance(now);
  updateLabel();
  if (controls.update()) renderRequested = true;
  if (renderRequested) {
    renderRequested = false;
    renderer.render(scene, camera);
    placeNames();
    ++frames;
  }
  requestAnimationFrame(loop);
}

goTo(0);
buildStructure();
if (state.size <= OPEN_TREE_LIMIT) for (const id of children.keys()) expanded.add(id);
else for (const id of roots) expanded.add(id);
showStep(0);
renderTree();
const count = (kind) => slots[kind].length;
$('kvr-summary').textContent = [`${state.size} entities`, `${count('body')} bodies`, `${count('frame')} frames`,
  `${count('tagPoint')} tag points`, `${count('path')} paths`, `${steps.length} step${steps.length === 1 ? '' : 's'}`].join(' · ');
resize();
levelOfDetail();
renderer.render(scene, camera);
requestAnimationFrame(loop);

// --- What the page shows, for tests and the console ------------------------

window.kvrViewer = {
  ready: true,
  data,
  steps,
  get stepCount() { return steps.length; },
  get step() { return shownStep; },
  // The slider's positions: the steps, and one more for the forecasts' end past them.
  get positions() { return positions; },
  get position() { return shownPosition; },
  get time() { return timeAt(shownPosition); },
  // The selected body's custody intervals, and where its ghost stands (null when hidden).
  custody: (id) => custody.get(id) ?? [],
  get ghost() { return ghost.visible ? ghost.position.toArray() : null; },
  showNames(on) { namesToggle.checked = on; requestRender(); },
  setStep: showStep,
  play: () => setPlaying(true),
  pause: () => setPlaying(false),
  get playing() { return playing; },
  // The records of the shown step.
  entities: () => [...state.values()],
  record: (id) => state.get(id) ?? null,
  select,
  get selected() { return selected; },
  get hovered() { return hovered; },
  // Where the 3-D view draws the entity now, read back from what is drawn.
  shownPosition(id) {
    const slot = slotOf.get(id);
    if (!slot || !placed.has(id)) return null;
    if (slot.kind === 'body') {
      bodies.getMatrixAt(slot.index, matrix);
      return new THREE.Vector3().setFromMatrixPosition(matrix).toArray();
    }
    const array = slot.kind === 'tagPoint' ? tagPoints.geometry.attributes.position.array
      : slot.kind === 'frame' ? frameDots.geometry.attributes.position.array : null;
    return array ? Array.from(array.slice(slot.index * 3, slot.index * 3 + 3)) : null;
  },
  // Line segments drawn for the routes of shuttles.
  get routeSegments() { return routeLines.geometry.attributes.position.count / 2; },
  // Draw calls of the last frame: one per kind of thing, whatever the world's size.
  get drawCalls() { return renderer.info.render.calls; },
  get framesRendered() { return frames; },
  drawn: { bodies: count('body'), frames: count('frame'), tagPoints: count('tagPoint'), paths: count('path') },
  three: { renderer, scene, camera, controls },
};
