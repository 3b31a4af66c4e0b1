// The station's board: the state over a WebSocket (a snapshot, then each change), the record list
// from /api/records. Everything a device, a file or a record says is put in as text, never as
// markup.
"use strict";

(function () {
    const STATES = {
        no_port: { icon: "\u2298", words: "NO PORT" },
        waiting: { icon: "\u25CC", words: "WAITING" },
        updating: { icon: "\u27F3", words: "UPDATING" },
        succeeded: { icon: "\u2714\uFE0E", words: "SUCCEEDED" },
        failed: { icon: "\u2716\uFE0E", words: "FAILED" },
        cannot_open: { icon: "\u26A0\uFE0E", words: "CANNOT OPEN" },
    };
    const VERDICTS = { success: "SUCCEEDED", failure: "FAILED", aborted: "ABORTED", record_failed: "NOT RECORDED" };
    const RECORDS_SHOWN = 50;
    // The station sends its shift every 10 s; silence for longer than this is a dead connection.
    const SILENCE_MS = 25000;

    let shift = null;
    let shiftAt = 0;
    let socket = null;
    let retryMs = 1000;
    let silence = null;
    let search = "";
    let recordsAsked = 0;

    const $ = (id) => document.getElementById(id);

    function element(tag, className, text) {
        const node = document.createElement(tag);
        if (className) node.className = className;
        if (text !== undefined && text !== null) node.textContent = String(text);
        return node;
    }

    function clock(seconds) {
        seconds = Math.max(0, Math.floor(seconds));
        const h = Math.floor(seconds / 3600);
        const m = Math.floor((seconds % 3600) / 60);
        const s = seconds % 60;
        const mm = h > 0 ? String(m).padStart(2, "0") : String(m);
        return (h > 0 ? h + ":" : "") + mm + ":" + String(s).padStart(2, "0");
    }

    function timeOf(iso) {
        if (!iso) return "";
        const time = new Date(iso);
        if (isNaN(time)) return "";
        const today = new Date().toDateString() === time.toDateString();
        return today ? time.toLocaleTimeString() : time.toLocaleString();
    }

    // Long /dev/serial/by-path names keep their start and their end, the cradle's own part.
    function shortPort(port) {
        port = String(port || "");
        return port.length <= 30 ? port : port.slice(0, 11) + "\u2026" + port.slice(-18);
    }

    function fileName(path) {
        path = String(path || "");
        return path.slice(Math.max(path.lastIndexOf("/"), path.lastIndexOf("\\")) + 1);
    }

    // --- The shift -------------------------------------------------------------------------------

    function showShift(next) {
        if (!next) return;
        shift = next;
        shiftAt = Date.now();
        $("shift-id").textContent = shift.id || "\u2013";
        $("shift-note").textContent = shift.note ? "(" + shift.note + ")" : "";
        $("units").textContent = shift.units;
        $("succeeded").textContent = shift.succeeded;
        $("failed").textContent = shift.failed;
        $("rate").textContent = shift.units_per_hour === null ? "\u2013" : shift.units_per_hour;
        const database = $("database");
        const db = shift.database;
        database.hidden = !db;
        if (db) {
            const waiting = db.lines > 0;
            database.className = waiting ? "waiting" : "";
            database.textContent = waiting
                ? "\u26A0\uFE0E database: " + db.lines + " record line(s) waiting" +
                  (db.oldest ? " since " + timeOf(db.oldest) : "") + (db.reason ? ": " + db.reason : "")
                : "\u2714\uFE0E database: every record line is in (" + db.shipped + " shipped)";
        }
        tick();
    }

    function tick() {
        if (!shift) return;
        $("elapsed").textContent = clock(shift.elapsed_s + (Date.now() - shiftAt) / 1000);
    }

    // --- The slots -------------------------------------------------------------------------------

    function tileOf(number) {
        let tile = document.querySelector('.tile[data-slot="' + Number(number) + '"]');
        if (!tile) {
            tile = element("article", "tile");
            tile.dataset.slot = String(Number(number));
            const slots = $("slots");
            const after = Array.from(slots.children).find((other) => Number(other.dataset.slot) > number);
            slots.insertBefore(tile, after || null);
        }
        return tile;
    }

    function showSlot(slot) {
        const tile = tileOf(slot.slot);
        const state = STATES[slot.state] || { icon: "?", words: String(slot.state).toUpperCase() };
        tile.dataset.state = slot.state;
        tile.replaceChildren();

        const head = element("div", "tile-head");
        head.append(element("span", "slot-number", slot.slot));
        const cradle = element("span", "cradle", shortPort(slot.port));
        cradle.title = slot.port;
        head.append(cradle);
        tile.append(head);

        const words = element("div", "state");
        const icon = element("span", "icon", state.icon);
        icon.setAttribute("aria-hidden", "true");
        words.append(icon, element("span", "state-words", state.words));
        tile.append(words);

        const detail = element("div", "detail");
        if (slot.state === "updating") {
            const phase = slot.phase || "starting";
            detail.append(element("span", "big", (slot.percent || 0) + "%"), document.createTextNode(" " + phase));
            if (slot.seconds_left !== null) detail.append(document.createTextNode(" \u00B7 " + clock(slot.seconds_left) + " left"));
            const bar = element("div", "bar");
            const fill = element("span");
            fill.style.width = Math.max(0, Math.min(100, slot.percent || 0)) + "%";
            bar.append(fill);
            tile.append(detail, bar);
            if (slot.unit !== null) detail.prepend(document.createTextNode("unit " + slot.unit + " \u00B7 "));
        } else if (slot.state === "succeeded") {
            detail.append(element("div", "identification", slot.identification || ""));
            detail.append(element("div", null, "unit " + slot.unit + " \u2013 take it out"));
            tile.append(detail);
        } else if (slot.state === "failed") {
            let where = slot.failed_phase || "";
            if (slot.failed_word !== null) where += (where ? " at " : "") + "word " + slot.failed_word;
            if (where) detail.append(element("div", "big", where));
            detail.append(element("div", null, slot.reason || ""));
            detail.append(element("div", null, "unit " + slot.unit));
            tile.append(detail);
        } else if (slot.state === "cannot_open") {
            detail.append(element("div", null, slot.reason || ""));
            tile.append(detail);
        }

        if (slot.last_verdict_time) {
            const verdict = VERDICTS[slot.last_verdict] || slot.last_verdict || "";
            tile.append(element("div", "last", "last verdict " + timeOf(slot.last_verdict_time) + (verdict ? " \u2013 " + verdict : "")));
        }
        tile.append(element("div", "counts", "\u2714\uFE0E " + slot.succeeded + " ok   \u2716\uFE0E " + slot.failed + " failed   " + slot.units + " unit(s)"));
    }

    function showState(state) {
        showShift(state.shift);
        const numbers = new Set();
        for (const slot of state.slots || []) {
            numbers.add(String(slot.slot));
            showSlot(slot);
        }
        for (const tile of Array.from($("slots").children)) {
            if (!numbers.has(tile.dataset.slot)) tile.remove();
        }
    }

    // --- The records -----------------------------------------------------------------------------

    function recordRow(record) {
        const row = element("tr");
        const verdict = String(record.verdict || "");
        row.append(
            element("td", null, timeOf(record.end || record.start)),
            element("td", null, record.slot === null || record.slot === undefined ? "" : record.slot),
            element("td", "identification-cell", record.identification || ""),
            element("td", "verdict-" + verdict.replace(/[^a-z_]/g, ""), VERDICTS[verdict] || verdict),
            element("td", null, fileName(record.update_file)));
        return row;
    }

    function matches(record) {
        if (!search) return true;
        const wanted = search.toLowerCase();
        const texts = [record.identification, record.port, record.verdict, record.station, fileName(record.update_file)];
        return texts.some((text) => String(text || "").toLowerCase().includes(wanted));
    }

    function showRecords(records, total) {
        const rows = $("record-rows");
        rows.replaceChildren(...records.map(recordRow));
        $("records-note").textContent = total > records.length ? records.length + " of " + total + " record(s)"
                                        : total === 0 ? "no record" + (search ? " matches" : " yet") : "";
    }

    function loadRecords() {
        const asked = ++recordsAsked;
        const query = "limit=" + RECORDS_SHOWN + (search ? "&q=" + encodeURIComponent(search) : "");
        fetch("/api/records?" + query, { credentials: "same-origin", cache: "no-store" })
            .then((answer) => answer.json().then((body) => ({ ok: answer.ok, body })))
            .then(({ ok, body }) => {
                if (asked !== recordsAsked) return;
                if (!ok) throw new Error(body.error || "the records cannot be read");
                showRecords(body.records || [], body.total || 0);
            })
            .catch((error) => {
                if (asked === recordsAsked) $("records-note").textContent = "records: " + error.message;
            });
        $("csv").href = "/records.csv" + (search ? "?q=" + encodeURIComponent(search) : "");
    }

    function addRecord(record) {
        if (!matches(record)) return;
        const rows = $("record-rows");
        rows.prepend(recordRow(record));
        while (rows.children.length > RECORDS_SHOWN) rows.lastChild.remove();
        if (rows.children.length === 1) $("records-note").textContent = "";
    }

    // --- The connection --------------------------------------------------------------------------

    function reachable(yes) {
        $("unreachable").hidden = yes;
        document.body.classList.toggle("offline", !yes);
    }

    function heard() {
        clearTimeout(silence);
        silence = setTimeout(() => socket && socket.close(), SILENCE_MS);
    }

    function connect() {
        const scheme = location.protocol === "https:" ? "wss://" : "ws://";
        const ws = new WebSocket(scheme + location.host + "/api/events");
        socket = ws;
        ws.onmessage = (event) => {
            heard();
            // Changes close together share a frame, one message a line.
            for (const line of String(event.data).split("\n")) handle(line);
        };
        const handle = (line) => {
            let message;
            try {
                message = JSON.parse(line);
            } catch (e) {
                return;
            }
            if (message.type === "snapshot") {
                retryMs = 1000;
                reachable(true);
                showState(message.state || {});
                // Records made while the board was away are in the record, not in the stream.
                loadRecords();
            } else if (message.type === "slot") {
                showSlot(message.slot);
            } else if (message.type === "shift") {
                showShift(message.shift);
            } else if (message.type === "record") {
                addRecord(message.record);
            }
        };
        ws.onclose = () => {
            if (socket !== ws) return;
            socket = null;
            clearTimeout(silence);
            reachable(false);
            // 1 s, 2 s, 4 s, then every 5 s while the station stays away.
            setTimeout(connect, retryMs);
            retryMs = Math.min(retryMs * 2, 5000);
        };
        heard();
    }

    document.addEventListener("DOMContentLoaded", () => {
        let typing = null;
        $("search").addEventListener("input", (event) => {
            clearTimeout(typing);
            typing = setTimeout(() => {
                search = event.target.value.trim();
                loadRecords();
            }, 250);
        });
        setInterval(tick, 1000);
        connect();
    });
})();
