(function () {
  'use strict';

  // The snapshot as the tool's JSON document: classes and methods by index,
  // threads with their timelines ("points": status, time, ...) and call trees
  // ("nodes": in pre-order, NODE numbers per node as read below), times in
  // microseconds.
  const doc = JSON.parse(document.getElementById('tolvane-data').textContent);
  // Recordings with CPU time carry it per thread and per node (with descendants).
  const hasCpu = doc.cpuTime === true;
  // The snapshot format's status codes and class kinds, as the tool hands them over.
  const format = JSON.parse(document.getElementById('tolvane-format').textContent);

  // Indexes 0-3 are the states, 4 all of them, 5 CPU time (not a state).
  const METRICS = ['running', 'waiting', 'blocked', 'netio', 'all', 'cpu'];
  const METRIC_LABEL = ['running', 'waiting', 'blocked', 'net I/O', 'all states', 'CPU'];
  const CPU = 5;
  const STATE_OF_STATUS = {
    [format.status.running]: 0, [format.status.waiting]: 1, [format.status.blocked]: 2, [format.status.netio]: 3,
  };
  const STATE_COLOR = ['#3aa757', '#f2b233', '#d9483b', '#4a78d6', '#d4d8dd'];
  const DEAD = format.status.dead;
  const TRANSACTION_KIND = format.transactionClassKind;

  const $ = (id) => document.getElementById(id);

  // ---- names ---------------------------------------------------------------

  const methodNames = doc.methods.map((m) => {
    if (m.display) return m.display;
    const c = doc.classes[m.class];
    if (c && c.kind === TRANSACTION_KIND) return '[' + m.name + ']';
    return (c ? c.name : '?') + '.' + m.name;
  });
  // Without the package, for narrow places; the full name is in the tooltip.
  const methodShort = doc.methods.map((m, i) => {
    const c = doc.classes[m.class];
    const full = methodNames[i];
    if (!c || c.kind === TRANSACTION_KIND) return full;
    // The package ends before the outer class; nested, lambda and hidden class
    // names may hold further dots after a '$', and parameter lists hold dots too.
    const paren = full.indexOf('(');
    const head = paren >= 0 ? full.slice(0, paren) : full;
    const cls = head.slice(0, Math.max(0, head.lastIndexOf('.')));
    const dollar = cls.indexOf('$');
    const outer = dollar >= 0 ? cls.slice(0, dollar) : cls;
    return full.slice(outer.lastIndexOf('.') + 1);
  });
  // The first method of each name: generated classes of one piece of code (lambdas,
  // hidden classes) share a name and are one frame in the trees and one hot spot
  // (lambdas that call different methods have different names).
  const methodCanon = (() => {
    const first = new Map();
    return methodNames.map((name, i) => {
      if (!first.has(name)) first.set(name, i);
      return first.get(name);
    });
  })();
  const methodIsTx = doc.methods.map((m) => {
    const c = doc.classes[m.class];
    return !!c && c.kind === TRANSACTION_KIND;
  });

  function nodeName(t, n) {
    const m = t.method[n];
    return m < 0 ? t.label : (methodNames[m] || '?');
  }
  function shortName(t, n) {
    const m = t.method[n];
    return m < 0 ? t.label : (methodShort[m] || '?');
  }

  // ---- formatting ------------------------------------------------------------

  function ms(micros) {
    const v = micros / 1000;
    if (v >= 100) return v.toFixed(0);
    if (v >= 1) return v.toFixed(1);
    return v.toFixed(2);
  }
  function pct(part, whole) {
    return whole > 0 ? (100 * part / whole).toFixed(1) + '%' : '';
  }
  function secs(micros) {
    return (micros / 1e6).toFixed(3) + ' s';
  }

  // ---- canvas ----------------------------------------------------------------

  // Sizes a canvas to width x height CSS pixels at the screen's pixel density
  // (so text stays sharp), clears it and returns its context ready to draw
  // labels in CSS pixels.
  function prepareCanvas(canvas, g, width, height) {
    const dpr = window.devicePixelRatio || 1;
    canvas.width = Math.round(width * dpr);
    canvas.height = Math.round(height * dpr);
    canvas.style.height = height + 'px';
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, width, height);
    g.font = '11px system-ui, sans-serif';
    g.textBaseline = 'middle';
    return g;
  }

  // ---- call trees ------------------------------------------------------------

  // Fields of a node in a thread's "nodes": method index (-1 for the root), line,
  // running and CPU time with descendants, own waiting, blocked and net I/O time,
  // number of children.
  const NODE = 8;

  // Merges the flattened call trees of the given threads by (method name,
  // call-site line) into a flat tree of typed arrays. Node 0 is the root and
  // every node comes after its parent, so one backward pass sums subtrees.
  // A node's children are found through one hash table keyed by (parent,
  // method, line), so merging allocates nothing per node.
  function buildTree(flats, label) {
    let cap = 1024;
    let method = new Int32Array(cap), line = new Int32Array(cap), parent = new Int32Array(cap);
    let run = new Float64Array(cap), cpu = new Float64Array(cap);
    let own1 = new Float64Array(cap), own2 = new Float64Array(cap), own3 = new Float64Array(cap);
    let slots = 1 << 12, table = new Int32Array(slots).fill(-1);
    const hash = (p, m, l) => {
      const h = Math.imul(p, 0x9e3779b1) ^ Math.imul(m + 1, 0x85ebca77) ^ Math.imul(l, 0xc2b2ae3d);
      return (h ^ (h >>> 15)) & (slots - 1);
    };
    method[0] = -1; parent[0] = -1;
    let n = 1;
    function grow() {
      cap *= 2;
      const more = (a, T) => { const b = new T(cap); b.set(a); return b; };
      method = more(method, Int32Array); line = more(line, Int32Array); parent = more(parent, Int32Array);
      run = more(run, Float64Array); cpu = more(cpu, Float64Array);
      own1 = more(own1, Float64Array); own2 = more(own2, Float64Array); own3 = more(own3, Float64Array);
    }
    function rehash() {
      slots *= 2;
      table = new Int32Array(slots).fill(-1);
      for (let c = 1; c < n; c++) {
        let h = hash(parent[c], method[c], line[c]);
        while (table[h] >= 0) h = (h + 1) & (slots - 1);
        table[h] = c;
      }
    }
    // The open nodes of the thread being merged: the merged node and how many children remain.
    let target = new Int32Array(64), remaining = new Int32Array(64);
    const locks = []; // per node: what it waited for, from the snapshot's lock section
    for (const th of flats) {
      const a = th.nodes, nodeLocks = th.nodeLocks || [];
      let depth = -1, li = 0;
      for (let k = 0; k < a.length; k += NODE) {
        let i = 0;
        if (k > 0) {
          while (remaining[depth] === 0) depth--;
          remaining[depth]--;
          const p = target[depth];
          const m = a[k] < 0 ? -1 : methodCanon[a[k]];
          const l = a[k + 1];
          let h = hash(p, m, l);
          for (i = table[h]; i >= 0; i = table[h]) {
            if (parent[i] === p && method[i] === m && line[i] === l) break;
            h = (h + 1) & (slots - 1);
          }
          if (i < 0) {
            if (n === cap) grow();
            i = n++;
            method[i] = m; line[i] = l; parent[i] = p;
            table[h] = i;
            if (2 * n > slots) rehash();
          }
        }
        run[i] += a[k + 2];
        cpu[i] += a[k + 3];
        own1[i] += a[k + 4];
        own2[i] += a[k + 5];
        own3[i] += a[k + 6];
        for (; li < nodeLocks.length && nodeLocks[li][0] === k / NODE; li++) {
          (locks[i] || (locks[i] = [])).push(nodeLocks[li][1]);
        }
        if (a[k + 7] > 0) {
          depth++;
          if (depth === target.length) {
            const t2 = new Int32Array(depth * 2), r2 = new Int32Array(depth * 2);
            t2.set(target); r2.set(remaining); target = t2; remaining = r2;
          }
          target[depth] = i;
          remaining[depth] = a[k + 7];
        }
      }
    }
    // Children as slices of one list, in the order they were first met.
    const first = new Int32Array(n + 1), kidList = new Int32Array(Math.max(0, n - 1));
    for (let i = 1; i < n; i++) first[parent[i] + 1]++;
    for (let i = 0; i < n; i++) first[i + 1] += first[i];
    const fill = first.slice(0, n);
    for (let i = 1; i < n; i++) kidList[fill[parent[i]]++] = i;
    const own = [own1, own2, own3];
    const incl = [], self = [];
    for (let s = 0; s < 6; s++) { incl.push(new Float64Array(n)); self.push(new Float64Array(n)); }
    const childRun = new Float64Array(n), childCpu = new Float64Array(n);
    for (let i = n - 1; i > 0; i--) { childRun[parent[i]] += run[i]; childCpu[parent[i]] += cpu[i]; }
    for (let i = 0; i < n; i++) {
      incl[0][i] = run[i];
      self[0][i] = Math.max(0, run[i] - childRun[i]);
      incl[CPU][i] = cpu[i];
      self[CPU][i] = Math.max(0, cpu[i] - childCpu[i]);
      for (let s = 1; s < 4; s++) {
        self[s][i] = own[s - 1][i];
        incl[s][i] = own[s - 1][i];
      }
    }
    for (let i = n - 1; i > 0; i--) {
      const p = parent[i];
      for (let s = 1; s < 4; s++) incl[s][p] += incl[s][i];
    }
    for (let i = 0; i < n; i++) {
      incl[4][i] = incl[0][i] + incl[1][i] + incl[2][i] + incl[3][i];
      self[4][i] = self[0][i] + self[1][i] + self[2][i] + self[3][i];
    }
    return {
      label: label, n: n,
      method: method.slice(0, n), line: line.slice(0, n), parent: parent.slice(0, n),
      kids: (i) => kidList.subarray(first[i], first[i + 1]),
      incl: incl, self: self, sorted: [null, null, null, null, null, null],
      lock: locks.map(lockLabel),
    };
  }

  // "blocked on X held by T" for the lock with the most time, as the text reports say it.
  function lockLabel(list) {
    if (!list || !list.length) return undefined;
    const byText = new Map();
    for (const l of list) {
      const text = (l.kind === 'monitor' ? 'blocked on ' : 'parked on ') + (l.class || '?')
        + (l.holder !== undefined ? ' held by ' + l.holder : '');
      byText.set(text, (byText.get(text) || 0) + l.micros);
    }
    let top = null, most = -1;
    for (const [text, micros] of byText) if (micros > most) { top = text; most = micros; }
    return byText.size > 1 ? top + ' (and ' + (byText.size - 1) + ' more)' : top;
  }

  // Children by the metric's total, largest first; computed per node on demand.
  function sortedKids(t, n, metric) {
    let cache = t.sorted[metric];
    if (!cache) cache = t.sorted[metric] = new Array(t.n);
    let list = cache[n];
    if (!list) {
      const inc = t.incl[metric];
      list = cache[n] = Array.from(t.kids(n)).sort((a, b) => inc[b] - inc[a]);
    }
    return list;
  }

  const threads = doc.threads;
  const treeCache = new Map();
  function treeFor(threadIndex) {
    let t = treeCache.get(threadIndex);
    if (!t) {
      if (threadIndex < 0) {
        t = buildTree(threads, 'all threads (' + threads.length + ')');
      } else {
        const th = threads[threadIndex];
        t = buildTree([th], th.name);
      }
      treeCache.set(threadIndex, t);
    }
    return t;
  }

  // ---- page state ------------------------------------------------------------

  if (!hasCpu) $('metric').querySelector('option[value="cpu"]').remove();
  const askedMetric = METRICS.indexOf(document.documentElement.dataset.metric || 'running');
  const initialMetric = askedMetric < 0 || (askedMetric === CPU && !hasCpu) ? 0 : askedMetric;
  const state = {
    thread: -1, metric: initialMetric, tree: null, zoom: 0,
    search: '', match: null, // match: Uint8Array per method, or null without a search
  };

  // ---- flame graph -------------------------------------------------------------

  const FLAME_ROW = 18;
  const MIN_FRAME = 0.8; // frames narrower than this many pixels are not drawn
  const flame = $('flame');
  const flameCtx = flame.getContext('2d');
  let flameFrames = []; // {x, w, d, n, above}: laid-out frames, for drawing and hit testing
  const hueCache = new Map();

  function hue(name) {
    let h = hueCache.get(name);
    if (h === undefined) {
      let x = 0;
      const cls = name.lastIndexOf('.') > 0 ? name.slice(0, name.lastIndexOf('.')) : name;
      for (let i = 0; i < cls.length; i++) x = (x * 31 + cls.charCodeAt(i)) | 0;
      h = Math.abs(x) % 1000;
      hueCache.set(name, h);
    }
    return h;
  }

  function frameColor(t, n, above) {
    const m = t.method[n];
    if (state.match) {
      if (m >= 0 && state.match[m]) return '#d23ee6';
      return above ? '#e4e6e9' : '#d3d7dc';
    }
    if (m < 0) return '#b9c0c8';
    if (methodIsTx[m]) return above ? '#a9dde2' : '#4fb8c4';
    const h = hue(methodNames[m]);
    let v = 0;
    const name = methodNames[m];
    for (let i = name.lastIndexOf('.') + 1; i < name.length; i++) v = (v * 17 + name.charCodeAt(i)) % 997;
    const light = 56 + (v % 18);
    return above ? 'hsl(' + (12 + h % 40) + ',45%,85%)' : 'hsl(' + (12 + h % 40) + ',78%,' + light + '%)';
  }

  // Lays out the visible frames: the zoomed node's ancestors across the full
  // width, then the zoomed subtree scaled to the width. Children are drawn
  // largest first, so the first one too narrow to see ends its row.
  function layoutFlame(width) {
    const t = state.tree, metric = state.metric, inc = t.incl[metric];
    const frames = [];
    const above = [];
    for (let a = t.parent[state.zoom]; a >= 0; a = t.parent[a]) above.push(a);
    above.reverse();
    let depth = 0;
    for (const a of above) frames.push({ x: 0, w: width, d: depth++, n: a, above: true });
    const total = inc[state.zoom];
    frames.push({ x: 0, w: width, d: depth, n: state.zoom, above: false });
    if (total <= 0) return frames;
    const scale = width / total;
    const stack = [state.zoom, 0, depth];
    while (stack.length) {
      const d = stack.pop(), x = stack.pop(), n = stack.pop();
      let cx = x;
      for (const c of sortedKids(t, n, metric)) {
        const w = inc[c] * scale;
        if (w < MIN_FRAME) break;
        frames.push({ x: cx, w: w, d: d + 1, n: c, above: false });
        stack.push(c, cx, d + 1);
        cx += w;
      }
    }
    return frames;
  }

  // Frames narrower than this many pixels do not make the graph deeper: one thin,
  // deep stack would otherwise stretch the graph over an empty area. Zooming into
  // a frame widens its stacks, and they show in full.
  const DEEP_FRAME = 3;

  function drawFlame() {
    const t = state.tree;
    const width = Math.max(100, $('flame-box').clientWidth);
    const frames = layoutFlame(width);
    let maxDepth = 0, deepest = 0;
    for (const f of frames) {
      if (f.w >= DEEP_FRAME && f.d > maxDepth) maxDepth = f.d;
      if (f.d > deepest) deepest = f.d;
    }
    flameFrames = deepest > maxDepth ? frames.filter((f) => f.d <= maxDepth) : frames;
    $('flame-note').textContent = deepest > maxDepth ? 'Stacks narrower than ' + DEEP_FRAME + ' pixels are cut '
      + (deepest - maxDepth) + (deepest - maxDepth === 1 ? ' level' : ' levels')
      + ' short of their end; click a frame to zoom into it and see them in full.' : '';
    const height = (maxDepth + 1) * FLAME_ROW;
    const g = prepareCanvas(flame, flameCtx, width, height);
    for (const f of flameFrames) {
      const y = f.d * FLAME_ROW;
      g.fillStyle = frameColor(t, f.n, f.above);
      g.fillRect(f.x, y, Math.max(f.w - 1, 0.8), FLAME_ROW - 1);
      if (f.w > 30) {
        const fit = Math.floor((f.w - 6) / 6.2);
        let text = nodeName(t, f.n);
        if (text.length > fit) text = shortName(t, f.n);
        if (text.length > fit) text = text.slice(0, Math.max(0, fit - 1)) + '\u2026';
        g.fillStyle = state.match && !(t.method[f.n] >= 0 && state.match[t.method[f.n]]) ? '#7b8794' : '#1d232b';
        g.fillText(text, f.x + 3, y + FLAME_ROW / 2);
      }
    }
  }

  function frameAt(x, y) {
    const d = Math.floor(y / FLAME_ROW);
    for (const f of flameFrames) {
      if (f.d === d && x >= f.x && x < f.x + f.w) return f;
    }
    return null;
  }

  function eventPoint(e, el) {
    const r = el.getBoundingClientRect();
    return { x: e.clientX - r.left, y: e.clientY - r.top };
  }

  flame.addEventListener('click', (e) => {
    const p = eventPoint(e, flame);
    const f = frameAt(p.x, p.y);
    if (f) zoomTo(f.n);
  });
  flame.addEventListener('mousemove', (e) => {
    const p = eventPoint(e, flame);
    const f = frameAt(p.x, p.y);
    if (!f) { hideTip(); return; }
    const t = state.tree, m = state.metric;
    const line = t.line[f.n] > 0 && t.parent[f.n] > 0
      ? '\ncalled from line ' + t.line[f.n] + ' of ' + nodeName(t, t.parent[f.n]) : '';
    showTip(e, nodeName(t, f.n) + '\n' + METRIC_LABEL[m] + ': ' + ms(t.incl[m][f.n]) + ' ms ('
      + pct(t.incl[m][f.n], t.incl[m][0]) + ' of all, ' + pct(t.incl[m][f.n], t.incl[m][state.zoom])
      + ' of the zoomed frame)\nown: ' + ms(t.self[m][f.n]) + ' ms' + beside(t, f.n, m) + line);
  });
  flame.addEventListener('mouseleave', hideTip);

  // Running and CPU time side by side, in a recording that has CPU time.
  function beside(t, n, m) {
    if (!hasCpu) return '';
    const other = m === CPU ? 0 : CPU;
    return '\n' + METRIC_LABEL[other] + ': ' + ms(t.incl[other][n]) + ' ms, own ' + ms(t.self[other][n]) + ' ms';
  }

  function zoomTo(n) {
    state.zoom = n;
    drawFlame();
    revealInTree(n);
  }

  // ---- search ------------------------------------------------------------------

  function applySearch(text) {
    state.search = text;
    if (!text) {
      state.match = null;
    } else {
      const needle = text.toLowerCase();
      state.match = new Uint8Array(methodNames.length);
      for (let i = 0; i < methodNames.length; i++) {
        if (methodNames[i].toLowerCase().indexOf(needle) >= 0) state.match[i] = 1;
      }
    }
    updateMatchInfo();
    drawFlame();
    renderRows();
  }

  // The share of the metric spent in matching frames, each subtree counted once.
  function matchedTotal() {
    const t = state.tree, inc = t.incl[state.metric];
    let total = 0;
    const stack = [0];
    while (stack.length) {
      const n = stack.pop();
      const m = t.method[n];
      if (m >= 0 && state.match[m]) { total += inc[n]; continue; }
      for (const c of t.kids(n)) stack.push(c);
    }
    return total;
  }

  function updateMatchInfo() {
    const el = $('match');
    if (!state.match) { el.textContent = ''; return; }
    const t = state.tree, total = matchedTotal();
    el.textContent = 'matched ' + ms(total) + ' ms, ' + (pct(total, t.incl[state.metric][0]) || '0%')
      + ' of ' + METRIC_LABEL[state.metric] + ' time';
  }

  $('search').addEventListener('input', (e) => applySearch(e.target.value.trim()));
  $('reset').addEventListener('click', () => zoomTo(0));

  // ---- call tree table ---------------------------------------------------------

  const TREE_ROW = 20;
  const treeBox = $('tree-box'), treeRowsEl = $('tree-rows');
  let rows = [], rowDepth = [];
  let expanded = new Set();
  const rowPool = [];
  // The figure columns after Method, Total and %: heading, tooltip, text of node n.
  // Headings say which figures include the callees ("incl.") and which are the
  // method's own time ("own").
  const TREE_FIGURES = [
    ['Running incl.', 'Running (RUNNABLE) time with everything called, ms; includes native code and waiting for I/O',
      (t, n) => ms(t.incl[0][n])],
    ['Running own', 'Own running time: running minus the methods it called, ms', (t, n) => ms(t.self[0][n])],
  ].concat(hasCpu ? [
    ['CPU incl.', 'CPU time with everything called, ms', (t, n) => ms(t.incl[CPU][n])],
    ['CPU own', 'Own CPU time: CPU time minus the methods it called, ms', (t, n) => ms(t.self[CPU][n])],
  ] : []).concat([
    ['Waiting own', 'Own waiting time: the thread waited in this method itself, ms',
      (t, n) => (t.self[1][n] ? ms(t.self[1][n]) : '')],
    ['Blocked own', 'Own blocked time: the thread was blocked in this method itself, ms',
      (t, n) => (t.self[2][n] ? ms(t.self[2][n]) : '')],
    ['Net I/O own', 'Own net I/O time: the thread was in net I/O in this method itself, ms',
      (t, n) => (t.self[3][n] ? ms(t.self[3][n]) : '')],
    ['From line', 'The caller\'s line that made the call', (t, n) => (t.line[n] > 0 ? t.line[n] : '')],
  ]);
  const TREE_COLUMNS = ['Method', 'Total incl.', '%'].concat(TREE_FIGURES.map((f) => f[0]));
  const TREE_TITLES = ['The method; hover for its full name and where it was called from',
    'The chosen time of the node with everything it called, ms', 'Share of the tree\'s chosen time']
    .concat(TREE_FIGURES.map((f) => f[1]));
  const treeSection = $('tree-section');
  treeSection.classList.toggle('cpu', hasCpu);

  (function header() {
    const head = $('tree-head');
    TREE_COLUMNS.forEach((c, i) => {
      const s = document.createElement('span');
      if (i > 0) s.className = 'n';
      s.textContent = c;
      s.title = TREE_TITLES[i];
      head.appendChild(s);
    });
    // A handle on the name column's right edge: dragging it sets the column's width,
    // kept between a readable minimum and what leaves every figure column in view.
    const grip = document.createElement('i');
    grip.id = 'name-grip';
    head.firstChild.appendChild(grip);
    let dragFrom = -1, widthFrom = 0;
    grip.addEventListener('mousedown', (e) => {
      dragFrom = e.clientX;
      widthFrom = head.firstChild.getBoundingClientRect().width;
      grip.classList.add('dragging');
      e.preventDefault();
    });
    window.addEventListener('mousemove', (e) => {
      if (dragFrom < 0) return;
      setNameWidth(widthFrom + e.clientX - dragFrom);
    });
    window.addEventListener('mouseup', () => {
      if (dragFrom >= 0) { dragFrom = -1; grip.classList.remove('dragging'); renderRows(); }
    });
  })();

  function setNameWidth(px) {
    const figures = $('tree-head').getBoundingClientRect().width - $('tree-head').firstChild.getBoundingClientRect().width;
    const max = Math.max(160, treeBox.clientWidth - figures);
    treeSection.style.setProperty('--name-col', Math.round(Math.min(max, Math.max(160, px))) + 'px');
  }

  // Indentation: 14 px per level near the root, then 4 px, never more than 40% of
  // the name column, so names deep in a tree keep room to be read.
  function indent(depth, column) {
    const px = depth <= 12 ? 14 * depth : 168 + 4 * (depth - 12);
    return Math.min(px, Math.floor(column * 0.4));
  }

  function visibleKids(t, n) {
    const inc = t.incl[state.metric];
    return sortedKids(t, n, state.metric).filter((c) => inc[c] > 0);
  }

  function rebuildRows() {
    const t = state.tree;
    rows = []; rowDepth = [];
    const stack = [0, 0];
    while (stack.length) {
      const d = stack.pop(), n = stack.pop();
      rows.push(n); rowDepth.push(d);
      if (expanded.has(n)) {
        const ks = visibleKids(t, n);
        for (let i = ks.length - 1; i >= 0; i--) stack.push(ks[i], d + 1);
      }
    }
    $('tree-spacer').style.height = rows.length * TREE_ROW + 'px';
    renderRows();
  }

  // Opens the hottest path from the root while one child dominates.
  function expandHot() {
    const t = state.tree, inc = t.incl[state.metric];
    expanded = new Set([0]);
    let n = 0;
    for (let depth = 0; depth < 40; depth++) {
      const ks = visibleKids(t, n);
      if (!ks.length) break;
      for (const c of ks.slice(0, 3)) if (inc[c] > 0) expanded.add(c);
      if (inc[ks[0]] < 0.4 * inc[n]) break;
      n = ks[0];
    }
  }

  function revealInTree(n) {
    const t = state.tree;
    for (let a = t.parent[n]; a >= 0; a = t.parent[a]) expanded.add(a);
    rebuildRows();
    const i = rows.indexOf(n);
    if (i >= 0) {
      const top = i * TREE_ROW;
      if (top < treeBox.scrollTop || top > treeBox.scrollTop + treeBox.clientHeight - TREE_ROW) {
        treeBox.scrollTop = Math.max(0, top - 3 * TREE_ROW);
      }
    }
    renderRows();
  }

  function rowElement(k) {
    while (rowPool.length <= k) {
      const r = document.createElement('div');
      r.className = 'tree-row';
      for (let i = 0; i < TREE_COLUMNS.length; i++) {
        const s = document.createElement('span');
        if (i > 0) s.className = 'n';
        r.appendChild(s);
      }
      r.firstChild.className = 'name';
      const depth = document.createElement('span');
      depth.className = 'depth';
      const tw = document.createElement('span');
      tw.className = 'tw';
      const label = document.createElement('span');
      r.firstChild.appendChild(depth);
      r.firstChild.appendChild(tw);
      r.firstChild.appendChild(label);
      treeRowsEl.appendChild(r);
      rowPool.push(r);
    }
    return rowPool[k];
  }

  // Draws only the rows in view: a pool of row elements is moved and refilled.
  function renderRows() {
    const t = state.tree, m = state.metric;
    const first = Math.max(0, Math.floor(treeBox.scrollTop / TREE_ROW));
    const count = Math.ceil((treeBox.clientHeight || 420) / TREE_ROW) + 2;
    treeRowsEl.style.transform = 'translateY(' + first * TREE_ROW + 'px)';
    const whole = t.incl[m][0];
    // Measured once, before the rows are written, so filling them forces no layout.
    const column = $('tree-head').firstChild.getBoundingClientRect().width || 400;
    for (let k = 0; k < count; k++) {
      const r = rowElement(k);
      const i = first + k;
      if (i >= rows.length) { r.hidden = true; continue; }
      r.hidden = false;
      const n = rows[i];
      r.dataset.node = n;
      const c = r.children;
      const hasKids = visibleKids(t, n).length > 0;
      const d = rowDepth[i];
      c[0].style.paddingLeft = (4 + indent(d, column)) + 'px';
      c[0].children[0].textContent = d > 12 ? String(d) : '';
      c[0].children[1].textContent = hasKids ? (expanded.has(n) ? '\u25be' : '\u25b8') : '';
      c[0].lastChild.textContent = shortName(t, n) + (t.lock[n] ? '  [' + t.lock[n] + ']' : '');
      c[0].lastChild.className = t.method[n] >= 0 && methodIsTx[t.method[n]] ? 'label tx' : 'label';
      c[0].title = nodeName(t, n) + (t.line[n] > 0 && t.parent[n] > 0
        ? '\ncalled from line ' + t.line[n] + ' of ' + nodeName(t, t.parent[n]) : '') + '\ndepth ' + d
        + (t.lock[n] ? '\n' + t.lock[n] : '');
      c[1].textContent = ms(t.incl[m][n]);
      c[2].textContent = pct(t.incl[m][n], whole);
      for (let k = 0; k < TREE_FIGURES.length; k++) c[3 + k].textContent = TREE_FIGURES[k][2](t, n);
      r.classList.toggle('match', !!(state.match && t.method[n] >= 0 && state.match[t.method[n]]));
    }
    for (let k = count; k < rowPool.length; k++) rowPool[k].hidden = true;
  }

  treeBox.addEventListener('scroll', () => renderRows());
  treeRowsEl.addEventListener('click', (e) => {
    const r = e.target.closest('.tree-row');
    if (!r || r.dataset.node === undefined) return;
    const n = Number(r.dataset.node);
    if (expanded.has(n)) expanded.delete(n); else expanded.add(n);
    rebuildRows();
  });

  // ---- hot spots -----------------------------------------------------------------

  const HOT_LIMIT = 300;
  // Own times summed per method; the columns after Method and %, by index into t.self.
  const HOT_SUMS = hasCpu ? [0, CPU, 1, 2, 3] : [0, 1, 2, 3];
  const HOT_LABEL = { 0: 'Running own', 1: 'Waiting own', 2: 'Blocked own', 3: 'Net I/O own', [CPU]: 'CPU own' };
  const HOT_COLUMNS = ['Method', '%'].concat(HOT_SUMS.map((s) => HOT_LABEL[s]));

  function drawHotspots() {
    const t = state.tree, m = state.metric;
    const sums = [];
    for (const s of HOT_SUMS) sums[s] = new Float64Array(methodNames.length);
    for (let n = 1; n < t.n; n++) {
      const meth = methodCanon[t.method[n]];
      for (const s of HOT_SUMS) sums[s][meth] += t.self[s][n];
    }
    const key = (i) => (m === 4 ? sums[0][i] + sums[1][i] + sums[2][i] + sums[3][i] : sums[m][i]);
    const list = [];
    let whole = 0;
    // Ranked as the tool's hot spots are: most own time first, ties by name.
    for (let i = 0; i < methodNames.length; i++) {
      const v = key(i);
      if (v > 0) { list.push(i); whole += v; }
    }
    list.sort((a, b) => key(b) - key(a) || (methodNames[a] < methodNames[b] ? -1 : 1));
    const table = $('hot');
    const head = table.tHead;
    if (!head.rows.length) {
      const tr = head.insertRow();
      for (const c of HOT_COLUMNS) {
        const th = document.createElement('th');
        th.textContent = c;
        tr.appendChild(th);
      }
    }
    const body = document.createElement('tbody');
    for (const i of list.slice(0, HOT_LIMIT)) {
      const tr = body.insertRow();
      tr.dataset.method = i;
      const cells = [methodShort[i], pct(key(i), whole)]
        .concat(HOT_SUMS.map((s) => (s === 0 || sums[s][i] ? ms(sums[s][i]) : '')));
      for (const text of cells) tr.insertCell().textContent = text;
      tr.cells[0].title = methodNames[i];
    }
    if (!list.length) {
      body.insertRow().insertCell().textContent = 'no ' + METRIC_LABEL[m] + ' time in this selection';
    }
    table.replaceChild(body, table.tBodies[0]);
  }

  $('hot').addEventListener('click', (e) => {
    const tr = e.target.closest('tr');
    if (!tr || tr.dataset.method === undefined) return;
    const name = methodNames[Number(tr.dataset.method)];
    $('search').value = name;
    applySearch(name);
  });

  // ---- timeline --------------------------------------------------------------------

  const TL_ROW = 16, TL_AXIS = 22, TL_LABEL = 220, TL_MAX_HEIGHT = 300;
  const timeline = $('timeline'), tlCtx = timeline.getContext('2d'), tlBox = $('timeline-box');
  const recordStart = doc.header.recordStart;
  const recordEnd = (() => {
    let end = Math.max(doc.header.writeTime, recordStart);
    for (const th of threads) {
      end = Math.max(end, th.end);
      for (let k = 1; k < th.points.length; k += 2) end = Math.max(end, th.points[k]);
    }
    return end;
  })();

  // Each thread's states as [from, to, state] with state 0..3 as in the
  // metric list and 4 for the time before its first status point. A status
  // lasts until the next point, the thread's end or the end of the recording.
  const intervals = threads.map((th) => {
    const out = [];
    const end = th.end >= 0 ? th.end : recordEnd;
    const pts = th.points; // status, time, status, time, ...
    const firstAt = pts.length ? Math.max(pts[1], th.start) : end;
    if (firstAt > th.start) out.push([th.start, Math.min(firstAt, end), 4]);
    for (let i = 0; i < pts.length; i += 2) {
      if (pts[i] === DEAD) break;
      const from = Math.max(pts[i + 1], th.start);
      const to = Math.min(i + 2 < pts.length ? pts[i + 3] : end, end);
      const s = STATE_OF_STATUS[pts[i]];
      if (s !== undefined && to > from) out.push([from, to, s]);
    }
    return out;
  });

  function layoutTimeline() {
    const content = TL_AXIS + threads.length * TL_ROW;
    const height = Math.min(TL_MAX_HEIGHT, content);
    tlBox.style.height = height + 'px';
    $('timeline-spacer').style.height = Math.max(0, content - height) + 'px';
    return height;
  }

  function drawTimeline() {
    const height = layoutTimeline();
    const width = Math.max(TL_LABEL + 100, tlBox.clientWidth);
    const g = prepareCanvas(timeline, tlCtx, width, height);
    const span = Math.max(1, recordEnd - recordStart);
    const plot = width - TL_LABEL - 8;
    const xOf = (time) => TL_LABEL + (time - recordStart) / span * plot;
    const scroll = tlBox.scrollTop;
    const first = Math.floor(scroll / TL_ROW);
    const last = Math.min(threads.length, first + Math.ceil(height / TL_ROW) + 1);
    for (let i = first; i < last; i++) {
      const y = TL_AXIS + i * TL_ROW - scroll;
      const th = threads[i];
      if (i === state.thread) {
        g.fillStyle = '#e3ecfa';
        g.fillRect(0, y, width, TL_ROW);
      }
      g.fillStyle = th.ignored ? '#9aa5b1' : '#1d232b';
      const label = th.name.length > 34 ? th.name.slice(0, 33) + '\u2026' : th.name;
      g.fillText(label, 4, y + TL_ROW / 2);
      for (const iv of intervals[i]) {
        const x0 = xOf(iv[0]), x1 = xOf(iv[1]);
        g.fillStyle = STATE_COLOR[iv[2]];
        g.fillRect(x0, y + 2, Math.max(1, x1 - x0), TL_ROW - 4);
      }
    }
    // The axis is drawn last, over any row scrolled beneath it.
    g.fillStyle = '#fff';
    g.fillRect(0, 0, width, TL_AXIS);
    g.strokeStyle = '#c4cad1';
    g.fillStyle = '#4b5663';
    g.beginPath();
    g.moveTo(TL_LABEL, TL_AXIS - 0.5);
    g.lineTo(width - 8, TL_AXIS - 0.5);
    const seconds = span / 1e6;
    const step = [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800, 3600]
      .find((s) => seconds / s <= Math.max(2, plot / 90)) || 7200;
    for (let s = 0; s <= seconds + 1e-9; s += step) {
      const x = TL_LABEL + s / seconds * plot;
      g.moveTo(x + 0.5, TL_AXIS - 5);
      g.lineTo(x + 0.5, TL_AXIS);
      if (x + 44 < width) g.fillText((step < 1 ? s.toFixed(2) : s.toFixed(0)) + ' s', x + 2, TL_AXIS / 2 - 1);
    }
    g.stroke();
    g.fillText('thread', 4, TL_AXIS / 2 - 1);
  }

  function threadAt(e) {
    const p = eventPoint(e, timeline);
    if (p.y < TL_AXIS) return null;
    const i = Math.floor((p.y - TL_AXIS + tlBox.scrollTop) / TL_ROW);
    return i >= 0 && i < threads.length ? { i: i, x: p.x } : null;
  }

  tlBox.addEventListener('scroll', () => drawTimeline());
  timeline.addEventListener('click', (e) => {
    const hit = threadAt(e);
    if (hit) selectThread(hit.i);
  });
  timeline.addEventListener('mousemove', (e) => {
    const hit = threadAt(e);
    if (!hit) { hideTip(); return; }
    const th = threads[hit.i];
    const width = tlBox.clientWidth;
    const time = recordStart + (hit.x - TL_LABEL) / (width - TL_LABEL - 8) * (recordEnd - recordStart);
    let now = '';
    for (const iv of intervals[hit.i]) {
      if (time >= iv[0] && time < iv[1]) now = iv[2] === 4 ? 'no status yet' : METRIC_LABEL[iv[2]];
    }
    const times = threadTimes[hit.i];
    showTip(e, th.name + ' [' + th.group + ']' + (th.ignored ? ' ignored' : '')
      + '\nstarted ' + secs(th.start - recordStart) + (th.end >= 0 ? ', ended ' + secs(th.end - recordStart) : '')
      + '\n' + THREAD_FIGURES.map((f, k) => f[0].toLowerCase() + ' ' + threadCell(times, k) + ' ms').join(', ')
      + (now ? '\nat ' + secs(time - recordStart) + ': ' + now : ''));
  });
  timeline.addEventListener('mouseleave', hideTip);

  // ---- thread list -------------------------------------------------------------------

  // Each thread's time per state from its call tree, which is booked at every
  // sampling tick (the timeline keeps only a point now and then), and its CPU
  // time: [running, waiting, blocked, net I/O, CPU or -1].
  const threadTimes = threads.map((th) => {
    const a = th.nodes;
    const times = [a.length ? a[2] : 0, 0, 0, 0, hasCpu && th.cpu !== undefined ? th.cpu : -1];
    for (let k = 0; k < a.length; k += NODE) {
      times[1] += a[k + 4];
      times[2] += a[k + 5];
      times[3] += a[k + 6];
    }
    return times;
  });
  // Columns after the thread's name: heading and index into threadTimes.
  const THREAD_FIGURES = [['Running', 0]].concat(hasCpu ? [['CPU', 4]] : [])
    .concat([['Waiting', 1], ['Blocked', 2], ['Net I/O', 3]]);

  function threadCell(times, k) {
    const v = times[THREAD_FIGURES[k][1]];
    return v < 0 ? 'n/a' : ms(v);
  }

  (function fillThreadList() {
    const table = $('threads');
    const tr = table.tHead.insertRow();
    for (const c of ['Thread'].concat(THREAD_FIGURES.map((f) => f[0]))) {
      const th = document.createElement('th');
      th.textContent = c;
      tr.appendChild(th);
    }
    const body = table.tBodies[0];
    // Ranked as the summary after a recording ranks them.
    const order = doc.threadOrder || threads.map((th, i) => i);
    order.forEach((i) => {
      const th = threads[i];
      const row = body.insertRow();
      row.dataset.thread = i;
      const name = row.insertCell();
      name.textContent = th.name;
      name.title = th.name + ' [' + th.group + ']' + (th.ignored ? ' ignored' : '');
      if (th.ignored) row.className = 'ignored';
      THREAD_FIGURES.forEach((f, k) => { row.insertCell().textContent = threadCell(threadTimes[i], k); });
    });
  })();

  $('threads').addEventListener('click', (e) => {
    const tr = e.target.closest('tr');
    if (!tr || tr.dataset.thread === undefined) return;
    const i = Number(tr.dataset.thread);
    selectThread(state.thread === i ? -1 : i);
  });

  function markThreadRow() {
    for (const tr of $('threads').tBodies[0].rows) tr.classList.toggle('sel', Number(tr.dataset.thread) === state.thread);
  }

  // ---- tooltip -----------------------------------------------------------------------

  const tip = $('tip');
  function showTip(e, text) {
    tip.textContent = text;
    tip.hidden = false;
    const x = Math.min(e.clientX + 14, window.innerWidth - tip.offsetWidth - 8);
    tip.style.left = Math.max(0, x) + 'px';
    tip.style.top = (e.clientY + 16) + 'px';
  }
  function hideTip() { tip.hidden = true; }

  // ---- selection -----------------------------------------------------------------------

  const threadSelect = $('thread');
  (function fillThreads() {
    const all = document.createElement('option');
    all.value = '-1';
    all.textContent = 'All threads (' + threads.length + ')';
    threadSelect.appendChild(all);
    threads.forEach((th, i) => {
      const o = document.createElement('option');
      o.value = String(i);
      o.textContent = th.name + ' [' + th.group + ']' + (th.ignored ? ' ignored' : '');
      threadSelect.appendChild(o);
    });
  })();

  function selectThread(i) {
    state.thread = i;
    threadSelect.value = String(i);
    state.tree = treeFor(i);
    state.zoom = 0;
    expandHot();
    refresh();
    drawTimeline();
    markThreadRow();
  }

  function setMetric(m) {
    state.metric = m;
    $('metric').value = METRICS[m];
    state.zoom = state.tree.incl[m][state.zoom] > 0 ? state.zoom : 0;
    refresh();
  }

  function refresh() {
    updateMatchInfo();
    drawFlame();
    rebuildRows();
    drawHotspots();
  }

  threadSelect.addEventListener('change', () => selectThread(Number(threadSelect.value)));
  $('metric').addEventListener('change', (e) => setMetric(Math.max(0, METRICS.indexOf(e.target.value))));

  let resizeTimer = 0;
  window.addEventListener('resize', () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => { drawFlame(); drawTimeline(); renderRows(); }, 100);
  });

  // ---- start ---------------------------------------------------------------------------

  $('source').textContent = doc.source;
  const summary = [doc.header.vmName, doc.header.javaVersion ? 'Java ' + doc.header.javaVersion : '',
    'recording ' + secs(recordEnd - recordStart), threads.length + (threads.length === 1 ? ' thread' : ' threads')];
  if (doc.filters.length) summary.push('filters ' + (doc.filterInverted ? '(inverted) ' : '') + doc.filters.join(' '));
  $('summary').textContent = summary.filter(Boolean).join(' \u00b7 ');

  state.tree = treeFor(-1);
  $('metric').value = METRICS[state.metric];
  expandHot();
  refresh();
  drawTimeline();

  // A small handle for scripted use and checks: the state and the laid-out frames.
  window.tolvaneReport = {
    state: () => ({
      thread: state.thread, metric: METRICS[state.metric], zoom: state.zoom,
      zoomName: nodeName(state.tree, state.zoom), search: state.search, nodes: state.tree.n,
      treeRows: rows.length, matchText: $('match').textContent,
      rowNodes: rows.slice(), rowNames: rows.map((n) => nodeName(state.tree, n)),
    }),
    frames: () => flameFrames.map((f) => ({
      x: f.x, y: f.d * FLAME_ROW, w: f.w, h: FLAME_ROW, name: nodeName(state.tree, f.n),
      matched: !!(state.match && state.tree.method[f.n] >= 0 && state.match[state.tree.method[f.n]]),
    })),
    selectThread: selectThread,
    setMetric: (name) => setMetric(Math.max(0, METRICS.indexOf(name))),
    search: (text) => { $('search').value = text; applySearch(text); },
    zoomTo: zoomTo,
  };
  document.body.dataset.ready = 'true';
})();
