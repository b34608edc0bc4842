(function () {
  'use strict';

  // Two recordings' call trees merged by frame name, per thread group:
  // each node is [name index, own times before, own times after, children],
  // own times per state (running, waiting, blocked, net I/O) in microseconds,
  // then own CPU time when both recordings hold it.
  const doc = JSON.parse(document.getElementById('tolvane-data').textContent);
  const hasCpu = doc.cpuTime === true;

  // Indexes 0-3 are the states, 4 all of them, 5 CPU time.
  const METRICS = ['running', 'waiting', 'blocked', 'netio', 'all', 'cpu'];
  const METRIC_LABEL = ['running', 'waiting', 'blocked', 'net I/O', 'all states', 'CPU'];
  const SLOTS = hasCpu ? 5 : 4;
  const WHEN = ['before', 'after'];
  const $ = (id) => document.getElementById(id);
  const names = doc.names;

  // ---- trees ---------------------------------------------------------------

  // Flattens a JSON tree into arrays; every node comes after its parent, so a
  // backward pass sums subtrees. own[r][m] and incl[r][m] per recording r and
  // metric m (index 4: all states, 5: CPU time, zero without it).
  function build(json) {
    const name = [], parent = [], kids = [];
    const own = [0, 1].map(() => [0, 1, 2, 3, 4].map(() => []));
    const stack = [json, -1];
    while (stack.length) {
      const p = stack.pop(), j = stack.pop();
      const i = name.length;
      name.push(j[0]); parent.push(p); kids.push([]);
      if (p >= 0) kids[p].push(i);
      for (let r = 0; r < 2; r++) for (let s = 0; s < 5; s++) own[r][s].push(s < SLOTS ? j[1 + r][s] : 0);
      const children = j[3];
      for (let k = children.length - 1; k >= 0; k--) stack.push(children[k], i);
    }
    const n = name.length;
    const t = { n: n, name: Int32Array.from(name), parent: Int32Array.from(parent), kids: kids, own: [], incl: [] };
    for (let r = 0; r < 2; r++) {
      const o = [], inc = [];
      for (let s = 0; s < 4; s++) { o.push(Float64Array.from(own[r][s])); inc.push(Float64Array.from(own[r][s])); }
      o.push(new Float64Array(n)); inc.push(new Float64Array(n));
      o.push(Float64Array.from(own[r][4])); inc.push(Float64Array.from(own[r][4]));
      for (let i = n - 1; i > 0; i--) for (const s of [0, 1, 2, 3, 5]) inc[s][parent[i]] += inc[s][i];
      for (let i = 0; i < n; i++) {
        o[4][i] = o[0][i] + o[1][i] + o[2][i] + o[3][i];
        inc[4][i] = inc[0][i] + inc[1][i] + inc[2][i] + inc[3][i];
      }
      t.own.push(o); t.incl.push(inc);
    }
    return t;
  }

  const trees = new Map();
  function treeFor(g) {
    if (!trees.has(g)) trees.set(g, build(doc.groups[g].tree));
    return trees.get(g);
  }

  // Each recording's total per metric over all compared threads: shares are of these.
  const totals = (() => {
    const t = treeFor(0);
    return [0, 1].map((r) => t.incl[r].map((a) => a[0]));
  })();

  // ---- state and measures -----------------------------------------------------

  if (!hasCpu) $('metric').querySelector('option[value="cpu"]').remove();
  const state = {
    group: 0, metric: Math.max(0, METRICS.indexOf(doc.metric)), size: 1, absolute: !!doc.absolute, zoom: 0,
    tree: null, scale: 1,
  };

  // A time of recording r as compared: a share of its total, or microseconds.
  function measure(r, micros) {
    return state.absolute ? micros : share(r, micros);
  }
  function share(r, micros) {
    const total = totals[r][state.metric];
    return total > 0 ? micros / total : 0;
  }
  function pct(v) {
    return (100 * v).toFixed(1) + '%';
  }
  function pp(v) {
    return (v > 0 ? '+' : '') + (100 * v).toFixed(1) + 'pp';
  }
  function signedMs(v) {
    return (v > 0 ? '+' : '') + ms(v);
  }
  function ownChange(t, n) {
    const m = state.metric;
    return measure(1, t.own[1][m][n]) - measure(0, t.own[0][m][n]);
  }
  function relative(b, a) {
    if (b === 0) return a === 0 ? '' : 'new';
    if (a === 0) return 'gone';
    const v = 100 * (a / b - 1);
    return (v > 0 ? '+' : '') + v.toFixed(0) + '%';
  }
  function ms(micros) {
    const v = Math.abs(micros) / 1000, sign = micros < 0 ? '-' : '';
    return sign + (v >= 100 ? v.toFixed(0) : v >= 1 ? v.toFixed(1) : v.toFixed(2));
  }

  // ---- flame graph ----------------------------------------------------------------

  const ROW = 18, MIN_FRAME = 0.8;
  const flame = $('flame'), g2 = flame.getContext('2d');
  let frames = [];

  function sortedKids(t, n, inc) {
    return t.kids[n].filter((c) => inc[c] > 0).sort((a, b) => inc[b] - inc[a]);
  }

  function layout(width) {
    const t = state.tree, inc = t.incl[state.size][state.metric];
    const out = [];
    const above = [];
    for (let a = t.parent[state.zoom]; a >= 0; a = t.parent[a]) above.push(a);
    above.reverse();
    let depth = 0;
    for (const a of above) out.push({ x: 0, w: width, d: depth++, n: a, above: true });
    out.push({ x: 0, w: width, d: depth, n: state.zoom, above: false });
    const total = inc[state.zoom];
    if (total <= 0) return out;
    const scale = width / total;
    const stack = [state.zoom, 0, depth];
    while (stack.length) {
      const d = stack.pop(), x = stack.pop(), n = stack.pop();
      let cx = x;
      for (const c of sortedKids(t, n, inc)) {
        const w = inc[c] * scale;
        if (w < MIN_FRAME) break;
        out.push({ x: cx, w: w, d: d + 1, n: c, above: false });
        stack.push(c, cx, d + 1);
        cx += w;
      }
    }
    return out;
  }

  // The largest change of own time in the tree sets the full colour.
  function changeScale() {
    const t = state.tree;
    let max = 0;
    for (let n = 1; n < t.n; n++) max = Math.max(max, Math.abs(ownChange(t, n)));
    return max;
  }

  function color(t, n, above) {
    const c = ownChange(t, n);
    if (above) return '#e4e6e9';
    if (c === 0 || state.scale === 0) return 'hsl(40, 10%, 88%)';
    const k = Math.sqrt(Math.min(1, Math.abs(c) / state.scale));
    return 'hsl(' + (c > 0 ? 0 : 215) + ', 75%, ' + (92 - 40 * k).toFixed(1) + '%)';
  }

  // A name without its package, for narrow frames: the package ends before the
  // outer class, and parameter lists may hold dots of their own.
  function shortName(name) {
    const paren = name.indexOf('(');
    const head = paren >= 0 ? name.slice(0, paren) : name;
    const cls = head.slice(0, Math.max(0, head.lastIndexOf('.')));
    const dollar = cls.indexOf('$');
    const outer = dollar >= 0 ? cls.slice(0, dollar) : cls;
    return name.slice(outer.lastIndexOf('.') + 1);
  }

  function label(t, n) {
    return n === 0 ? doc.groups[state.group].name : names[t.name[n]];
  }

  function drawFlame() {
    const t = state.tree;
    const width = Math.max(100, $('flame-box').clientWidth);
    frames = layout(width);
    let maxDepth = 0;
    for (const f of frames) maxDepth = Math.max(maxDepth, f.d);
    const height = (maxDepth + 1) * ROW;
    const dpr = window.devicePixelRatio || 1;
    flame.width = Math.round(width * dpr);
    flame.height = Math.round(height * dpr);
    flame.style.height = height + 'px';
    const g = g2;
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, width, height);
    g.font = '11px system-ui, sans-serif';
    g.textBaseline = 'middle';
    for (const f of frames) {
      const y = f.d * ROW;
      g.fillStyle = color(t, f.n, f.above);
      g.fillRect(f.x, y, Math.max(f.w - 1, 0.8), ROW - 1);
      if (f.w > 30) {
        const fit = Math.floor((f.w - 6) / 6.2);
        let text = label(t, f.n);
        if (text.length > fit) text = shortName(text);
        if (text.length > fit) text = text.slice(0, Math.max(0, fit - 1)) + '\u2026';
        g.fillStyle = '#1d232b';
        g.fillText(text, f.x + 3, y + ROW / 2);
      }
    }
  }

  function frameAt(e) {
    const r = flame.getBoundingClientRect();
    const x = e.clientX - r.left, d = Math.floor((e.clientY - r.top) / ROW);
    return frames.find((f) => f.d === d && x >= f.x && x < f.x + f.w) || null;
  }

  flame.addEventListener('click', (e) => {
    const f = frameAt(e);
    if (f) { state.zoom = f.n; drawFlame(); }
  });
  flame.addEventListener('mousemove', (e) => {
    const f = frameAt(e);
    if (!f) { hideTip(); return; }
    const t = state.tree, m = state.metric, n = f.n;
    const lines = [label(t, n)];
    for (let r = 0; r < 2; r++) {
      lines.push(WHEN[r] + ': own ' + ms(t.own[r][m][n]) + ' ms (' + pct(share(r, t.own[r][m][n]))
        + '), with callees ' + ms(t.incl[r][m][n]) + ' ms (' + pct(share(r, t.incl[r][m][n])) + ')');
    }
    const b = t.own[0][m][n], a = t.own[1][m][n];
    lines.push('change of own ' + METRIC_LABEL[m] + ' time: ' + signedMs(a - b) + ' ms'
      + (relative(b, a) ? ' (' + relative(b, a) + ')' : '') + ', ' + pp(share(1, a) - share(0, b)));
    showTip(e, lines.join('\n'));
  });
  flame.addEventListener('mouseleave', hideTip);

  // ---- table of changes ----------------------------------------------------------

  const LIMIT = 300;
  let tableRows = [];

  function drawChanges() {
    const t = state.tree, m = state.metric;
    const sums = [new Map(), new Map()];
    for (let n = 1; n < t.n; n++) {
      for (let r = 0; r < 2; r++) {
        const name = t.name[n];
        sums[r].set(name, (sums[r].get(name) || 0) + t.own[r][m][n]);
      }
    }
    const list = [];
    for (const name of sums[0].keys()) {
      const bms = sums[0].get(name), ams = sums[1].get(name);
      const b = measure(0, bms), a = measure(1, ams);
      if (a !== b) {
        list.push({ name: names[name], before: b, after: a, change: a - b, beforeMs: bms, afterMs: ams,
          beforeShare: share(0, bms), afterShare: share(1, ams) });
      }
    }
    list.sort((x, y) => Math.abs(y.change) - Math.abs(x.change) || (x.name < y.name ? -1 : 1));
    tableRows = list;
    const table = $('changes');
    if (!table.tHead.rows.length) {
      const tr = table.tHead.insertRow();
      for (const c of ['Method', 'Before ms', 'After ms', 'Change ms', 'Change %', 'Before %', 'After %',
        'Change pp']) {
        const th = document.createElement('th');
        th.textContent = c;
        tr.appendChild(th);
      }
    }
    const body = document.createElement('tbody');
    for (const row of list.slice(0, LIMIT)) {
      const tr = body.insertRow();
      for (const text of [row.name, ms(row.beforeMs), ms(row.afterMs), signedMs(row.afterMs - row.beforeMs),
        relative(row.beforeMs, row.afterMs) || '+0%', pct(row.beforeShare), pct(row.afterShare),
        pp(row.afterShare - row.beforeShare)]) tr.insertCell().textContent = text;
      tr.cells[0].title = row.name;
      tr.cells[3].className = row.afterMs > row.beforeMs ? 'up' : 'down';
      tr.cells[7].className = row.afterShare > row.beforeShare ? 'up' : 'down';
    }
    if (!list.length) {
      body.insertRow().insertCell().textContent = 'no method\'s own ' + METRIC_LABEL[m] + ' time changed';
    }
    table.replaceChild(body, table.tBodies[0]);
    $('changes-note').textContent = 'own ' + METRIC_LABEL[m] + ' time per method in ms, with the change'
      + ' (after minus before, and after / before - 1), and as shares of each recording\'s total, with the'
      + ' change in percentage points (pp); ranked by the change ' + (state.absolute ? 'in ms' : 'of share');
  }

  // ---- tooltip ---------------------------------------------------------------------

  const tip = $('tip');
  function showTip(e, text) {
    tip.textContent = text;
    tip.hidden = false;
    const x = Math.min(e.clientX + 14, window.innerWidth - tip.offsetWidth - 8);
    tip.style.left = Math.max(0, x) + 'px';
    tip.style.top = (e.clientY + 16) + 'px';
  }
  function hideTip() { tip.hidden = true; }

  // ---- controls ----------------------------------------------------------------------

  function refresh() {
    state.tree = treeFor(state.group);
    if (state.zoom >= state.tree.n) state.zoom = 0;
    state.scale = changeScale();
    drawFlame();
    drawChanges();
  }

  const groupSelect = $('group');
  doc.groups.forEach((g, i) => {
    const o = document.createElement('option');
    o.value = String(i);
    o.textContent = i === 0 ? 'All threads' : g.name;
    groupSelect.appendChild(o);
  });
  groupSelect.addEventListener('change', () => { state.group = Number(groupSelect.value); state.zoom = 0; refresh(); });
  $('metric').addEventListener('change', (e) => {
    state.metric = Math.max(0, METRICS.indexOf(e.target.value)); state.zoom = 0; refresh();
  });
  $('size').addEventListener('change', (e) => { state.size = Number(e.target.value); state.zoom = 0; refresh(); });
  $('compare').addEventListener('change', (e) => { state.absolute = e.target.value === 'absolute'; refresh(); });
  $('reset').addEventListener('click', () => { state.zoom = 0; drawFlame(); });
  let resizeTimer = 0;
  window.addEventListener('resize', () => { clearTimeout(resizeTimer); resizeTimer = setTimeout(drawFlame, 100); });

  // ---- start ---------------------------------------------------------------------------

  const rec = doc.recordings;
  $('source').textContent = rec[0].source + ' \u2192 ' + rec[1].source;
  $('summary').textContent = rec.map((r, i) => WHEN[i] + ': ' + r.source + ', ' + (r.duration / 1e6).toFixed(1)
    + ' s, ' + r.threads + (r.threads === 1 ? ' thread' : ' threads')).join(' \u00b7 ')
    + ' \u00b7 threads matched by name with digits ignored';
  $('metric').value = METRICS[state.metric];
  $('compare').value = state.absolute ? 'absolute' : 'share';
  refresh();

  // A small handle for scripted use and checks.
  window.tolvaneDiff = {
    state: () => ({ group: doc.groups[state.group].name, metric: METRICS[state.metric], size: WHEN[state.size],
      absolute: state.absolute, zoom: state.zoom }),
    frames: () => frames.map((f) => ({ x: f.x, y: f.d * ROW, w: f.w, h: ROW, name: label(state.tree, f.n),
      change: ownChange(state.tree, f.n), color: color(state.tree, f.n, f.above) })),
    rows: () => tableRows.map((r) => ({ name: r.name, change: r.change, before: r.before, after: r.after })),
    groups: () => doc.groups.map((g) => g.name),
  };
  document.body.dataset.ready = 'true';
})();
