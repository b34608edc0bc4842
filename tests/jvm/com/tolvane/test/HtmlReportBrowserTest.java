package com.tolvane.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.tolvane.snapshot.StatusPoint;
import com.tolvane.cli.Main;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The HTML report in a real headless chromium. A copy of the page gets a
 * small script that records script errors and, once the page has loaded,
 * uses it the way a person would (clicks a frame, types a search, picks a
 * thread and a kind of time), checks what is drawn, and writes the results
 * into the DOM, which chromium dumps for the test to read.
 */
class HtmlReportBrowserTest {

    private static Chromium chromium;

    @TempDir
    Path dir;

    @BeforeAll
    static void findChromium() {
        chromium = Chromium.find();
        Assumptions.assumeTrue(chromium != null,
                "chromium not found: install Debian's chromium package (./dev test installs it)");
    }

    /** Records script errors and provides helpers; the page's own checks follow as CHECKS or DEEP_CHECKS. */
    private static final String PRELUDE = """
            <script>
            window.__errors = [];
            window.addEventListener('error', (e) => __errors.push(e.message + ' at ' + e.filename + ':' + e.lineno));
            window.addEventListener('unhandledrejection', (e) => __errors.push('rejection: ' + e.reason));
            window.addEventListener('load', () => {
              const results = {};
              const check = (name, fn) => {
                try { const v = fn(); results[name] = v === true ? 'ok' : 'FAIL ' + JSON.stringify(v); }
                catch (e) { results[name] = 'FAIL ' + e; }
              };
              const api = window.tolvaneReport;
              const $ = (id) => document.getElementById(id);
              const pixels = (id) => { const c = $(id); return c.getContext('2d').getImageData(0, 0, c.width, c.height).data; };
              const count = (id, rgb) => {
                const d = pixels(id); let n = 0;
                for (let i = 0; i < d.length; i += 4) {
                  if (rgb ? d[i] === rgb[0] && d[i + 1] === rgb[1] && d[i + 2] === rgb[2] : d[i + 3] > 0) n++;
                }
                return n;
              };
              const pixelAt = (id, x, y) => { const c = $(id); return Array.from(c.getContext('2d').getImageData(x, y, 1, 1).data.slice(0, 3)); };
              const frame = (name) => api.frames().find((f) => f.name === name);
              const clickFrame = (f) => {
                const r = $('flame').getBoundingClientRect();
                $('flame').dispatchEvent(new MouseEvent('click', { bubbles: true,
                  clientX: r.left + f.x + f.w / 2, clientY: r.top + f.y + f.h / 2 }));
              };
              const visibleRows = () => Array.from(document.querySelectorAll('#tree-rows .tree-row'))
                .filter((r) => !r.hidden).map((r) => r.firstChild.textContent);
              // Rows the browser really shows, whatever their hidden attribute says.
              const shownRows = () => Array.from(document.querySelectorAll('#tree-rows .tree-row'))
                .filter((r) => getComputedStyle(r).display !== 'none' && r.getBoundingClientRect().height > 0);
              const inView = (el) => { const r = el.getBoundingClientRect();
                return r.width > 20 && r.left >= 0 && r.right <= document.documentElement.clientWidth; };
              const finish = () => {
                check('noScriptErrors', () => __errors.length === 0 || __errors);
                const out = document.createElement('pre');
                out.id = 'selfcheck';
                out.textContent = JSON.stringify(results);
                document.body.appendChild(out);
              };
            """;

    private static final String CHECKS = """

              check('ready', () => document.body.dataset.ready === 'true' && !!api);
              check('flameDrawn', () => count('flame') > 2000 || count('flame'));
              check('flameHasFrames', () => ['all threads (3)', 'com.acme.Shop.run', 'com.acme.Shop.pay', '[GET /cart]']
                .every((n) => frame(n)) || api.frames().map((f) => f.name));
              check('flameWidths', () => {
                const all = frame('all threads (3)'), cart = frame('[GET /cart]');
                return Math.abs(cart.w / all.w - 0.25) < 0.01 || [cart.w, all.w];
              });
              check('treeDrawn', () => {
                const rows = visibleRows();
                return ['\u25beall threads (3)', '\u25beShop.run', '\u25beShop.buy', 'Shop.pay'].every((r) => rows.includes(r))
                  || rows;
              });
              check('hotSpotsDrawn', () => {
                const cells = Array.from($('hot').tBodies[0].rows).map((r) => r.cells[0].textContent);
                const titles = Array.from($('hot').tBodies[0].rows).map((r) => r.cells[0].title);
                return (cells[0] === 'Shop.pay' && cells[1] === 'Shop.buy' && titles[0] === 'com.acme.Shop.pay')
                  || cells;
              });
              check('timelineDrawn', () => {
                const green = count('timeline', [0x3a, 0xa7, 0x57]), amber = count('timeline', [0xf2, 0xb2, 0x33]);
                const red = count('timeline', [0xd9, 0x48, 0x3b]), blue = count('timeline', [0x4a, 0x78, 0xd6]);
                return (green > 100 && amber > 100 && red > 100 && blue > 100) || { green, amber, red, blue };
              });
              check('clickZooms', () => {
                clickFrame(frame('com.acme.Shop.buy'));
                const s = api.state(), buy = frame('com.acme.Shop.buy'), root = frame('all threads (3)');
                return (s.zoomName === 'com.acme.Shop.buy' && Math.abs(buy.w - root.w) < 0.5) || [s, buy, root];
              });
              check('clickOnRootZoomsOut', () => {
                clickFrame(frame('all threads (3)'));
                return api.state().zoom === 0 || api.state();
              });
              check('resetButton', () => {
                clickFrame(frame('com.acme.Shop.run'));
                $('reset').click();
                return api.state().zoom === 0 || api.state();
              });
              check('searchHighlights', () => {
                const input = $('search');
                input.value = 'Shop.pay';
                input.dispatchEvent(new Event('input', { bubbles: true }));
                const matched = api.frames().filter((f) => f.matched);
                const f = matched[0];
                const colour = f ? pixelAt('flame', Math.round(f.x + 2), Math.round(f.y + 2)) : null;
                const text = api.state().matchText;
                return (matched.length === 2 && matched.every((m) => m.name === 'com.acme.Shop.pay')
                  && JSON.stringify(colour) === '[210,62,230]' && text.startsWith('matched 2.0 ms, 50.0%')
                  && count('flame', [210, 62, 230]) > 200
                  && document.querySelectorAll('#tree-rows .tree-row.match').length > 0) || { matched, colour, text };
              });
              check('searchCleared', () => {
                $('search').value = '';
                $('search').dispatchEvent(new Event('input', { bubbles: true }));
                return (api.frames().every((f) => !f.matched) && count('flame', [210, 62, 230]) === 0) || api.state();
              });
              check('everyColumnVisible', () => {
                const cells = Array.from(document.querySelectorAll('#tree-head > span, #hot th'));
                const hidden = cells.filter((c) => !inView(c)).map((c) => c.textContent);
                return (cells.length === 15 && hidden.length === 0
                  && $('tree-box').scrollWidth <= $('tree-box').clientWidth
                  && $('hot-box').scrollWidth <= $('hot-box').clientWidth) || { hidden, n: cells.length };
              });
              check('threadChoice', () => {
                const select = $('thread');
                select.value = '1';
                select.dispatchEvent(new Event('change', { bubbles: true }));
                return (api.state().thread === 1 && !!frame('worker-1') && !frame('com.acme.Shop.pay'))
                  || api.frames().map((f) => f.name);
              });
              check('noLeftoverRowsAfterThreadChoice', () => {
                const shown = shownRows().map((r) => r.firstChild.textContent);
                return (api.state().treeRows === 4 && shown.length === 4 && shown[0] === '\u25beworker-1') || shown;
              });
              check('noLeftoverRowsAfterCollapse', () => {
                shownRows()[0].firstChild.dispatchEvent(new MouseEvent('click', { bubbles: true }));
                const shown = shownRows().map((r) => r.firstChild.textContent);
                return (api.state().treeRows === 1 && shown.length === 1 && shown[0] === '\u25b8worker-1') || shown;
              });
              check('metricChoice', () => {
                const select = $('metric');
                select.value = 'blocked';
                select.dispatchEvent(new Event('change', { bubbles: true }));
                const buy = frame('com.acme.Shop.buy'), root = frame('worker-1');
                return (api.state().metric === 'blocked' && buy && Math.abs(buy.w - root.w) < 0.5)
                  || api.frames().map((f) => f.name);
              });
              check('noCpuWithoutCpuTime', () => {
                const head = Array.from($('threads').tHead.rows[0].cells).map((c) => c.textContent);
                return (!document.querySelector('#metric option[value="cpu"]')
                  && head.join('|') === 'Thread|Running|Waiting|Blocked|Net I/O') || head;
              });
              check('threadListFromTheCallTrees', () => {
                // main's timeline says running, waiting and net I/O for a second each; its tree is exact.
                const rows = Array.from($('threads').tBodies[0].rows)
                  .map((r) => Array.from(r.cells).map((c) => c.textContent).join('|'));
                return (rows.join(' ; ') === 'main|3.0|0.50|0.10|0.20 ; worker-1|1.0|0.00|0.30|0.00'
                  + ' ; idle|0.00|2900|0.00|0.00') || rows;
              });
              check('timelineClickSelectsThread', () => {
                const r = $('timeline').getBoundingClientRect();
                $('timeline').dispatchEvent(new MouseEvent('click', { bubbles: true,
                  clientX: r.left + 300, clientY: r.top + 22 + 2 * 16 + 8 }));
                return (api.state().thread === 2 && $('thread').value === '2') || api.state();
              });
              finish();
            });
            </script>
            """;

    /** The page of a recording with CPU time: CPU is drawn by default and stands beside running time. */
    private static final String CPU_CHECKS = """

              check('ready', () => document.body.dataset.ready === 'true' && !!api);
              check('cpuIsTheDefault', () => (api.state().metric === 'cpu' && $('metric').value === 'cpu'
                && $('metric').options[0].value === 'cpu') || api.state());
              check('flameDrawsCpu', () => {
                const all = frame('all threads (3)'), cart = frame('[GET /cart]');
                return Math.abs(cart.w / all.w - 900 / 3500) < 0.01 || [cart.w, all.w];
              });
              check('threadListGivesCpu', () => {
                const head = Array.from($('threads').tHead.rows[0].cells).map((c) => c.textContent);
                const rows = Array.from($('threads').tBodies[0].rows)
                  .map((r) => Array.from(r.cells).map((c) => c.textContent).join('|'));
                return (head.join('|') === 'Thread|Running|CPU|Waiting|Blocked|Net I/O'
                  && rows.join(' ; ') === 'main|3.0|2.6|0.50|0.10|0.20 ; worker-1|1.0|0.90|0.00|0.30|0.00'
                  + ' ; idle|0.00|n/a|2900|0.00|0.00') || { head, rows };
              });
              check('treeHasCpuBesideRunning', () => {
                const head = Array.from(document.querySelectorAll('#tree-head > span')).map((c) => c.textContent);
                const root = Array.from(shownRows()[0].children).slice(1).map((c) => c.textContent);
                return (head.join('|') === 'Method|Total incl.|%|Running incl.|Running own|CPU incl.|CPU own'
                    + '|Waiting own|Blocked own|Net I/O own|From line'
                  && root.join('|') === '3.5|100.0%|4.0|0.00|3.5|0.00||||') || { head, root };
              });
              check('hotSpotsRankCpu', () => {
                const head = Array.from($('hot').tHead.rows[0].cells).map((c) => c.textContent);
                const rows = Array.from($('hot').tBodies[0].rows)
                  .map((r) => Array.from(r.cells).map((c) => c.textContent).join('|'));
                return (head.join('|') === 'Method|%|Running own|CPU own|Waiting own|Blocked own|Net I/O own'
                  && rows[0] === 'Shop.pay|48.6%|2.0|1.7||0.10|0.20' && rows[1] === 'Shop.buy|34.3%|1.5|1.2|0.50|0.30|')
                  || { head, rows };
              });
              check('everyColumnVisible', () => {
                const cells = Array.from(document.querySelectorAll('#tree-head > span, #hot th, #threads th'));
                const hidden = cells.filter((c) => !inView(c)).map((c) => c.textContent);
                return (cells.length === 24 && hidden.length === 0
                  && $('tree-box').scrollWidth <= $('tree-box').clientWidth) || { hidden, n: cells.length };
              });
              check('threadRowSelects', () => {
                const row = $('threads').tBodies[0].rows[1];
                row.cells[1].dispatchEvent(new MouseEvent('click', { bubbles: true }));
                const picked = api.state().thread === 1 && row.classList.contains('sel') && $('thread').value === '1'
                  && !!frame('worker-1');
                row.cells[0].dispatchEvent(new MouseEvent('click', { bubbles: true }));
                return (picked && api.state().thread === -1 && !row.classList.contains('sel')) || api.state();
              });
              check('runningStillChosen', () => {
                $('metric').value = 'running';
                $('metric').dispatchEvent(new Event('change', { bubbles: true }));
                const all = frame('all threads (3)'), cart = frame('[GET /cart]');
                return (api.state().metric === 'running' && Math.abs(cart.w / all.w - 0.25) < 0.01) || [cart.w, all.w];
              });
              finish();
            });
            </script>
            """;

    /**
     * A tree 60 calls deep: the whole flame graph is on the page without a
     * scroll bar of its own, and a node 40 levels down is named readably.
     */
    private static final String DEEP_CHECKS = """
              check('deepFlameFits', () => {
                const frames = api.frames(), box = $('flame-box');
                const deepest = frames.reduce((a, f) => (f.y > a.y ? f : a), frames[0]);
                const bottom = $('flame').getBoundingClientRect().top + window.scrollY + deepest.y + deepest.h;
                return (frames.length === 61 && deepest.name.endsWith('handleStage60')
                  && box.scrollHeight <= box.clientHeight && deepest.y + deepest.h <= $('flame').clientHeight
                  && bottom <= document.documentElement.scrollHeight) || { n: frames.length, deepest,
                    scroll: box.scrollHeight, client: box.clientHeight };
              });
              check('depth40NameReadable', () => {
                const f = frame('com.acme.service.pipeline.RequestProcessingStage.handleStage40');
                clickFrame(f);
                const row = shownRows().find((r) => r.firstChild.title.startsWith(f.name));
                if (!row) return shownRows().map((r) => r.firstChild.title);
                const label = row.querySelector('.label');
                return (label.textContent === 'RequestProcessingStage.handleStage40'
                  && label.clientWidth > 100 && label.scrollWidth <= label.clientWidth && inView(label)
                  && row.firstChild.title.includes('called from line 40 of')) || { text: label.textContent,
                    client: label.clientWidth, scroll: label.scrollWidth, title: row.firstChild.title };
              });
              finish();
            });
            </script>
            """;

    /**
     * Lambdas and a thin, deep stack: no two rows of the call tree carry one
     * name, and the flame graph is no deeper than its readable frames.
     */
    private static final String LAMBDA_CHECKS = """
              check('lambdaRowsApart', () => {
                const names = api.state().rowNames;
                const lambdas = names.filter((n) => n.includes('$$Lambda'));
                return (new Set(names).size === names.length && lambdas.length === 2
                  && lambdas.includes('app.Truth$$Lambda.run \u2192 lambda$main$0')
                  && lambdas.includes('app.Truth$$Lambda.run \u2192 lambda$main$1')) || names;
              });
              check('hotSpotsOnePerLambda', () => {
                const rows = Array.from($('hot').tBodies[0].rows).map((r) => r.cells[0].title);
                return (new Set(rows).size === rows.length && rows[0] === 'app.Truth.lambda$main$0') || rows;
              });
              check('flameFitsItsContent', () => {
                const frames = api.frames();
                const deepest = Math.max(...frames.map((f) => f.y));
                return (deepest <= 4 * 18 && $('flame').clientHeight <= 5 * 18
                  && $('flame-note').textContent.includes('cut')) || { deepest, h: $('flame').clientHeight,
                    note: $('flame-note').textContent };
              });
              check('threadsRankedAsTheSummaryRanksThem', () => {
                const rows = Array.from($('threads').tBodies[0].rows).map((r) => r.cells[0].textContent);
                return rows.join(',') === 'main,blocked-one,idle' || rows;
              });
              check('zoomShowsTheDeepStack', () => {
                clickFrame(frame('app.Deep.level01'));
                const frames = api.frames();
                return (frames.some((f) => f.name === 'app.Deep.level80') && $('flame-note').textContent === '')
                  || frames.length;
              });
              finish();
            });
            </script>
            """;

    /**
     * main runs Shop.run -> buy -> pay, waits in buy and does net I/O in pay;
     * worker-1 serves the transaction "GET /cart" and is blocked in buy;
     * idle only sleeps. Each thread's timeline shows a different status.
     */
    private Path report() throws Exception {
        return report(false);
    }

    /**
     * With {@code cpu}, the same recording with CPU time: main used 2.6 ms
     * (pay 1.4 from buy and 0.3 from run, buy 0.3 of its own, run 0.6), worker-1
     * 0.9 ms in buy, and idle's CPU time could not be read.
     */
    private Path report(boolean cpu) throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 4_000_000);
        if (cpu) {
            b.cpuTime();
        }
        long shop = b.addClass("com.acme.Shop");
        long run = b.addMethod(shop, "run", "()V");
        long buy = b.addMethod(shop, "buy", "()V");
        long pay = b.addMethod(shop, "pay", "()V");
        long cart = b.addMethod(b.interceptionClass, "GET /cart", "()V");
        long sleep = b.addMethod(b.addClass("java.lang.Thread"), "sleep", "(J)V");
        SnapshotBuilder.Node main = b.addThread("main", "main").status(StatusPoint.RUNNING, 1_000_000)
                .status(StatusPoint.WAITING, 2_000_000).status(StatusPoint.NET_IO, 3_000_000).root().value(3000)
                .cpu(2600);
        SnapshotBuilder.Node mainRun = main.child(run, 0).value(3000).cpu(2600);
        mainRun.child(buy, 12).value(2000).cpu(1700).monitorTimes(0, 500, 0).child(pay, 40).value(1500).cpu(1400);
        mainRun.child(pay, 13).value(500).cpu(300).monitorTimes(100, 0, 200);
        b.addThread("worker-1", "pool").lifetime(1_500_000, 3_000_000).status(StatusPoint.BLOCKED, 1_500_000)
                .root().value(1000).cpu(900).child(cart, 0).value(1000).cpu(900).child(run, 0).value(1000).cpu(900)
                .child(buy, 12).value(1000).cpu(900).monitorTimes(300, 0, 0);
        b.addThread("idle", "main").status(StatusPoint.WAITING, 1_000_000).cpu(-1).root().child(sleep, 0)
                .monitorTimes(0, 2_900_000, 0);
        return write(b, cpu ? "shop-cpu" : "shop");
    }

    private Path write(SnapshotBuilder b, String name) throws Exception {
        Path snapshot = dir.resolve(name + ".tsnap");
        Files.write(snapshot, b.build());
        Path html = dir.resolve(name + ".html");
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int code = Main.run(new String[] {"report", snapshot.toString(), "--format", "html", "-o", html.toString()},
                new PrintStream(new ByteArrayOutputStream(), true, StandardCharsets.UTF_8),
                new PrintStream(err, true, StandardCharsets.UTF_8));
        assertEquals(0, code, err.toString(StandardCharsets.UTF_8));
        return html;
    }

    @Test
    void reportIsDrawnAndAnswersClicksAndSearches() throws Exception {
        Path html = report();
        runChecks(html, CHECKS, 21);
        screenshot(html, "html-report.png", 1300);
    }

    @Test
    void cpuTimeIsDrawnByDefaultAndListedPerThread() throws Exception {
        Path html = report(true);
        runChecks(html, CPU_CHECKS, 10);
        screenshot(html, "html-report-cpu.png", 1300);
    }

    /**
     * Truth.main calls lambda$main$0 through two lambda classes (the same
     * lambda spun twice) and lambda$main$1 through a third, all from line 3,
     * and, with a thousandth of the time, a chain 80 calls deep. Two threads
     * before it in the file only wait or are blocked.
     */
    @Test
    void lambdasGetOneRowEachAndAThinDeepStackDoesNotStretchTheFlameGraph() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 4_000_000);
        // In the file before main: a thread that only waits and one that holds all blocked time.
        long sleep = b.addMethod(b.addClass("java.lang.Thread"), "sleep", "(J)V");
        b.addThread("idle", "main").root().child(sleep, 0).monitorTimes(0, 3_000_000, 0);
        b.addThread("blocked-one", "main").root().child(sleep, 0).monitorTimes(2_000_000, 0, 0);
        long truth = b.addClass("app.Truth");
        long[] bodies = {b.addMethod(truth, "lambda$main$0", "()V"), b.addMethod(truth, "lambda$main$1", "()V")};
        SnapshotBuilder.Node main = b.addThread("main", "main").status(StatusPoint.RUNNING, 1_000_000).root()
                .value(100_000).child(b.addMethod(truth, "main", "()V"), 0).value(100_000);
        for (int i = 0; i < 3; i++) {
            main.child(b.addMethod(b.addClass("app.Truth$$Lambda$" + (20 + i) + "/0x0000000800c1" + i + "000"), "run",
                    "()V"), 3).value(33_300).child(bodies[i / 2], 0).value(33_300);
        }
        SnapshotBuilder.Node deep = main.child(b.addMethod(b.addClass("app.Deep"), "level01", "()V"), 4).value(100);
        for (int level = 2; level <= 80; level++) {
            deep = deep.child(b.addMethod(b.addClass("app.Deep"), String.format("level%02d", level), "()V"), level)
                    .value(100);
        }
        Path html = write(b, "lambdas");
        runChecks(html, LAMBDA_CHECKS, 6);
    }

    /** A chain of 60 calls, each from line N of the caller. */
    @Test
    void deepTreeStaysReadable() throws Exception {
        SnapshotBuilder b = new SnapshotBuilder().times(1_000_000, 4_000_000);
        long stage = b.addClass("com.acme.service.pipeline.RequestProcessingStage");
        SnapshotBuilder.Node node = b.addThread("main", "main").status(StatusPoint.RUNNING, 1_000_000).root()
                .value(60_000);
        for (int level = 1; level <= 60; level++) {
            node = node.child(b.addMethod(stage, String.format("handleStage%02d", level), "()V"), level)
                    .value(60_000 - 500L * level);
        }
        Path html = write(b, "deep");
        runChecks(html, DEEP_CHECKS, 3);
        screenshot(html, "html-report-deep.png", 2400);
    }

    /** Runs the page with the checks in a 1400-pixel-wide window and asserts that each of them passed. */
    private void runChecks(Path html, String checks, int expected) throws Exception {
        String page = Files.readString(html);
        Path checked = dir.resolve("checked-" + html.getFileName());
        Files.writeString(checked, page.replaceFirst("<head>", "<head>" + Matcher.quoteReplacement(PRELUDE + checks)));

        String dom = chromium.dumpDom(checked, 1400, 1000);
        Matcher m = Pattern.compile("<pre id=\"selfcheck\">(.*?)</pre>", Pattern.DOTALL).matcher(dom);
        assertTrue(m.find(), "the checks did not run; the page's DOM ends with:\n"
                + dom.substring(Math.max(0, dom.length() - 2000)));
        Map<String, String> results = parse(m.group(1));
        assertEquals(expected, results.size(), results.toString());
        StringBuilder failures = new StringBuilder();
        results.forEach((name, result) -> {
            if (!result.equals("ok")) {
                failures.append(name).append(": ").append(result).append('\n');
            }
        });
        assertEquals("", failures.toString());
    }

    /** Kept for people to look at: the report as a browser shows it, in build/test-artifacts. */
    private void screenshot(Path html, String name, int height) throws Exception {
        Path artifacts = Path.of(System.getProperty("tolvane.buildDir", dir.toString()), "test-artifacts");
        Path png = artifacts.resolve(name);
        Files.deleteIfExists(png);
        chromium.screenshot(html, png, 1400, height);
        assertTrue(Files.size(png) > 10_000, "screenshot " + png + " is nearly empty");
    }

    /** Reads the flat {"name":"result"} object the checks write (HTML-escaped inside the pre element). */
    private static Map<String, String> parse(String escaped) {
        String json = escaped.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"").replace("&amp;", "&");
        Map<String, String> out = new LinkedHashMap<>();
        Matcher m = Pattern.compile("\"(\\w+)\":\"((?:[^\"\\\\]|\\\\.)*)\"").matcher(json);
        while (m.find()) {
            out.put(m.group(1), m.group(2).replace("\\\"", "\"").replace("\\\\", "\\"));
        }
        return out;
    }
}
