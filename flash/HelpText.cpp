#include "flash/HelpText.h"

namespace rq70::flash {

// Every line fits a terminal of 80 columns.
const char* const HelpDescription =
    R"(Updates RQ-70 devices from an update file, as the RQ-70 Updater's windows do, on
one port or on many at once, and keeps a record of every update.

Commands:
  ports                     the ports the updater sees: COM name, device path,
                            and for USB adapters maker, product and serial
                            number
  detect                    search COM1 to COM20 for the boot loader as "Auto
                            Detect..." does; prints the port and the device's
                            identification text
  info --port P             presence check and identification text of the
                            device on P
  update [FILE.KRV] (--port P [--port P ...] | --detect)
                            update every named port at the same time (or the
                            port the search finds) from FILE.KRV, or from the
                            one RQ70*.KRV file beside this program (installed
                            in /usr/bin or another system folder: in the
                            current folder); each device gets exactly the
                            windows' update
  station [FILE.KRV] --port P [--port P ...]
                            a production station: each port is a cradle that
                            updates unit after unit, hands-free, until Ctrl-C
                            ends the shift (see below); --config FILE: its
                            options from FILE
  history [--last N] [FILTER ...] [--json | --csv]
                            the update record as a table (--json: its lines as
                            they are, --csv: for a spreadsheet); only the
                            records that every FILTER given matches (--shift,
                            --station, --verdict, --since, --until,
                            --identification, --file-sha256), --last N: the
                            last N of them
  ship --db CONNINFO [--follow]
                            send the record's lines that the line's database
                            lacks (--follow: and every new one, until a
                            signal)
  db init --db CONNINFO [--print]
                            create or upgrade the line's table rq70_updates
                            (--print: print its SQL and a station's grants)

A port P is COMn (as the windows number them; RQ70_PORT_DIR maps them as for the
windows) or the path of a serial device, such as /dev/ttyUSB0 or
/dev/serial/by-id/usb-...

Every update is recorded as one JSON line, with an id of its own and the station
(--station NAME, else the host name) that ran it, in
$XDG_STATE_HOME/rq70-updater/updates.jsonl (~/.local/state/... when unset), or
in the file RQ70_UPDATE_RECORD or --record names.

Output of update: on a terminal one live line per device and a summary table at
the end; otherwise plain lines; with --json one JSON object per line for every
event (start, phase, progress, verify_failed, identification, verdict,
open_failed, interrupted, summary).

Station: each --port is a slot with a thread of its own, followed by its path,
so an adapter plugged in later, or pulled and plugged back, is found again. Name
a cradle by a stable link: /dev/serial/by-path/... (the cradle's USB socket) or
/dev/serial/by-id/... (an adapter that travels with the unit); COMn only with
RQ70_PORT_DIR. /dev/ttyUSBn and /dev/ttyACMn are refused: the kernel numbers
them in the order adapters are plugged in. Two ports that lead to one device are
refused at the start, and when that shows only once the port appears, the later
slot takes no units ("cannot open", naming the other slot).
While its cradle is empty a slot sends the presence check (0xF0) every 200 ms,
behind the resynchronisation bytes on each new open and after any reply that
did not come. A unit whose boot loader answers is updated at once, exactly as
`update` does, and recorded with the shift id, its slot and --note TEXT. The
slot then waits for that unit to leave before it takes the next: its port goes
away, or it has not answered a presence check for a second. With --wait-unplug
(cradles whose adapter leaves with the unit) nothing at all is sent between a
verdict and the port going away and coming back. The shift ends on a signal
(below), then the shift summary follows; exit status 0 when every unit of the
shift succeeded, else 1 (or 6). --json events: those of update, each with
"slot" and "port", and shift, waiting, port_gone, port_back, open_failed,
unit_left, interrupted, summary, board.

The station's board (--http [ADDR:]PORT): a live page of the slots, the shift
and the latest records at http://ADDR:PORT/, read-only; ADDR is 127.0.0.1 unless
given, PORT 0 takes any free port (the "board" event or line names it). Any
address other than loopback needs --http-token-file FILE: its first line is the
token that a browser shows once as /?token=TOKEN, or a program in the header
"Authorization: Bearer TOKEN".

station --config FILE, as the service rq70-station@NAME starts it with
/etc/rq70/station-NAME.conf: the station's options from FILE, "key = value" one
a line, keys named as the options: file (the update file), port (one line per
cradle, in slot order), note, record, db, station, http, http-token-file, and
wait-unplug and require-record (yes or no). Lines starting with # are comments;
a value is the rest of its line, as it is. Relative paths start at FILE's
folder. An option on the command line wins over FILE (--port: over all of its
ports). An unknown key, a key other than port given twice, or a FILE that
cannot be read ends the station before it starts, naming FILE and the line.

Signals ("interrupted" events name the signal):
  SIGINT (Ctrl-C), SIGTERM  update: every update stops after the row, block or
                            EEPROM byte under way and is recorded as aborted;
                            the summary follows, exit status 1. station: no
                            new units, the updates under way finish.
  a second SIGINT/SIGTERM   station: the updates under way stop after the row,
                            block or EEPROM byte under way, and their units are
                            recorded as aborted. update: nothing more.
  SIGHUP (terminal gone)    never more than the first Ctrl-C: update lets the
                            updates under way finish, station ends its shift
                            after them. Output to a terminal that is gone is
                            dropped.
  detect, info              any of them stops the command and closes its port.
A signal the program was started with ignored (nohup, a service manager) stays
ignored. Every command puts back the port settings it changed (low latency, a
built-in port's receive trigger) on each of these ways out. A program that is
killed cannot: it leaves a note of them in /run/rq70-updater (which the package
makes; else in $XDG_RUNTIME_DIR/rq70-updater, or the folder RQ70_PORT_NOTE_DIR
names), and the next program to open that port puts them back.

History: a record's time is its end. TIME is 2026-12-08, 2026-12-08T14:30 or
2026-12-08 14:30:05, in local time unless it ends in a zone (Z, +01:00); a date
alone as --until covers that whole day.

The line's database (--db CONNINFO or RQ70_DB; update, station, ship, history):
each record line is written to the record first, as always, then sent to one
PostgreSQL table that every station of the line shares; a cursor beside the
record (FILE.shipped) says how far it got, so a line goes once however often
the database or the station goes down. While the database is away the lines
wait (db_backlog events, the shift summary) and updates go on as before. A line
the database refuses for good is kept in FILE.rejected. A password never goes in
CONNINFO: use ~/.pgpass, PGPASSFILE or a service file.

--require-record (update, station): an update whose record line cannot be
written counts as failed ("record_failed"), and the exit status is 6.

Exit status:
  0  every device updated (or the command succeeded)
  1  at least one update failed or was stopped
  2  wrong arguments
  3  no update file, one that cannot be read, or one without a data record
     (history: a record that cannot be read)
  4  a port cannot be opened (busy, no permission, missing); nothing was updated
  5  no device found (detect, update --detect, info)
  6  --require-record: an update record line could not be written
  7  ship, db init, history --db: the line's database cannot be reached or
     refused; ship: record lines still wait for it)";

} // namespace rq70::flash
