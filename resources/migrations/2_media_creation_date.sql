ALTER TABLE media ADD COLUMN date_created TEXT;
UPDATE media SET date_created = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE date_created IS NULL;
CREATE INDEX IF NOT EXISTS media_date_created ON media(date_created);
CREATE INDEX IF NOT EXISTS share_done ON share(done);
