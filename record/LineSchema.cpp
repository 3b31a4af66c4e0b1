#include "record/LineSchema.h"

namespace rq70 {

QByteArray LineSchemaSql() {
    // Columns come one ALTER at a time, so that a table made by an older version gains those it
    // lacks and keeps its rows.
    return R"sql(CREATE TABLE IF NOT EXISTS rq70_updates (
    id text PRIMARY KEY,
    line jsonb NOT NULL
);
ALTER TABLE rq70_updates
    ADD COLUMN IF NOT EXISTS station text,
    ADD COLUMN IF NOT EXISTS shift text,
    ADD COLUMN IF NOT EXISTS slot integer,
    ADD COLUMN IF NOT EXISTS time timestamptz,
    ADD COLUMN IF NOT EXISTS port text,
    ADD COLUMN IF NOT EXISTS device_path text,
    ADD COLUMN IF NOT EXISTS usb_serial text,
    ADD COLUMN IF NOT EXISTS identification text,
    ADD COLUMN IF NOT EXISTS verdict text,
    ADD COLUMN IF NOT EXISTS failed_phase text,
    ADD COLUMN IF NOT EXISTS failed_word integer,
    ADD COLUMN IF NOT EXISTS update_file_sha256 text,
    ADD COLUMN IF NOT EXISTS update_file_size bigint,
    ADD COLUMN IF NOT EXISTS note text,
    ADD COLUMN IF NOT EXISTS received timestamptz NOT NULL DEFAULT now();
CREATE INDEX IF NOT EXISTS rq70_updates_time ON rq70_updates (time);
CREATE INDEX IF NOT EXISTS rq70_updates_station_time ON rq70_updates (station, time);
CREATE INDEX IF NOT EXISTS rq70_updates_shift ON rq70_updates (shift);
CREATE INDEX IF NOT EXISTS rq70_updates_verdict_time ON rq70_updates (verdict, time);
CREATE INDEX IF NOT EXISTS rq70_updates_identification ON rq70_updates (identification);
CREATE INDEX IF NOT EXISTS rq70_updates_file_sha256 ON rq70_updates (update_file_sha256);
)sql";
}

QByteArray StationGrantSql(const QString& role) {
    // The role's name is quoted as an identifier: doubled quotes inside.
    QString quoted = role;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return QStringLiteral("GRANT SELECT, INSERT ON rq70_updates TO \"%1\";\n").arg(quoted).toUtf8();
}

QByteArray InsertLinesSql() {
    // The columns are read out of the line by the server, so they always agree with it; a value
    // the column cannot take (a slot that is not a number) refuses the batch.
    return R"sql(INSERT INTO rq70_updates (id, station, shift, slot, time, port, device_path, usb_serial,
    identification, verdict, failed_phase, failed_word, update_file_sha256, update_file_size, note, line)
SELECT pair->>0, l->>'station', l->>'shift', (l->>'slot')::integer,
    COALESCE(l->>'end', l->>'start')::timestamptz, l->>'port', l->>'device_path', l->>'usb_serial',
    l->>'identification', l->>'verdict', l->>'failed_phase', (l->>'failed_word')::integer,
    l->>'update_file_sha256', (l->>'update_file_size')::bigint, l->>'note', l
FROM jsonb_array_elements($1::jsonb) AS pairs(pair), LATERAL (SELECT pair->1 AS l) AS lines
ON CONFLICT (id) DO NOTHING)sql";
}

} // namespace rq70
