-- The library that a first start copies into the user's data folder: the table the
-- program reads and writes, and a handful of sounds on category 1 so that a new user
-- hears something at once. The build turns this text into data.sqlite.
--
-- ButtonId is the key (the program creates fresh UUIDs). Nothing else is constrained:
-- a category may hold two rows on one ButtonNo (the one loaded last wins), and rows
-- written by hand may leave columns NULL.
-- Hotkey must accept NULL and default to it, because adding sounds in a batch leaves
-- the column out.

PRAGMA encoding = 'UTF-8';

BEGIN;

CREATE TABLE tb_Button (
  ButtonId TEXT PRIMARY KEY,
  ClassId  TEXT,
  ButtonNo INTEGER,
  Title    TEXT,
  MusicSrc TEXT,
  Hotkey   TEXT DEFAULT NULL
);

-- Every load asks for one category's rows.
CREATE INDEX idx_tb_Button_ClassId ON tb_Button (ClassId);

INSERT INTO tb_Button (ButtonId, ClassId, ButtonNo, Title, MusicSrc, Hotkey) VALUES
  ('070E2653-4222-412C-9E13-66D3444DD08F', '00000000-0000-0000-0000-000000000001',  1, '叮',             'ding.mp3',             'Q'),
  ('B5991FAD-6A1D-4090-8FD0-5A6F50F75DC7', '00000000-0000-0000-0000-000000000001',  2, '嗖',             'whoosh.mp3',           NULL),
  ('136C9B3E-5996-45D3-8356-AB0BA1E3052A', '00000000-0000-0000-0000-000000000001',  3, '掌声',           '掌声.mp3',             'Num 1'),
  ('A836C28B-9E91-4411-AFB6-59A58C7206B9', '00000000-0000-0000-0000-000000000001',  4, '鼓点',           'drumroll.mp3',         NULL),
  ('8096FE8B-A3DA-4D32-838F-0B2651CDE1A9', '00000000-0000-0000-0000-000000000001',  5, '答错了',         'buzzer.mp3',           ''),
  ('D2A1522A-6EA2-412D-BC07-CF2088C9DC97', '00000000-0000-0000-0000-000000000001',  9, '欢迎来到直播间', '欢迎来到直播间.mp3',   'W'),
  ('82D3C3B9-CB67-4FE8-806D-B66B93C5CBBA', '00000000-0000-0000-0000-000000000001', 10, '谢谢关注',       '谢谢关注.mp3',         NULL);

COMMIT;
