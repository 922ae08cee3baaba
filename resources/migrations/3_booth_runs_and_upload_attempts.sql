-- Each start of the booth on this database: when it started and the album
-- in force then. A print file that has no row is this database's only when
-- it was made after the last recorded start.
CREATE TABLE IF NOT EXISTS booth_run (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    started TEXT NOT NULL,
    album_name TEXT
);
-- A database kept from before starts were recorded: its newest print marks
-- how far its booth had got.
INSERT INTO booth_run (started, album_name)
    SELECT date_created, album_name FROM media WHERE date_created IS NOT NULL
    ORDER BY date_created DESC, id DESC LIMIT 1;

-- The upload stage (2 print, 3 thumbnail, 4 registration) that last went
-- out for a print, and when: stored before it goes, so that a registration
-- that may have been made is known after a restart.
ALTER TABLE media ADD COLUMN stage_last_tried INTEGER NOT NULL DEFAULT 0;
ALTER TABLE media ADD COLUMN date_last_tried TEXT;
