CREATE TABLE IF NOT EXISTS media (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    file_name TEXT,
    file_path TEXT,
    album_name TEXT,
    image_url TEXT,
    thumb_url TEXT,
    upload_url TEXT,
    upload_status INTEGER NOT NULL DEFAULT 0,
    retry_count INTEGER NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS share (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    share_type INTEGER NOT NULL,
    to_field TEXT,
    file_path TEXT,
    date_entered TEXT,
    date_sent TEXT,
    date_last_tried TEXT,
    last_error TEXT,
    done INTEGER NOT NULL DEFAULT 0,
    media_id INTEGER
);
