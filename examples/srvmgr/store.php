<?php
// Where the demo server manager keeps what it received: one JSON line per
// notification. ZENTOK_SRVMGR_DATA names the file; by default it lives in the
// system's temporary directory, so serving this folder writes nothing into it.
function srvmgr_data_file(): string {
    $configured = getenv('ZENTOK_SRVMGR_DATA');
    if ($configured !== false && $configured !== '') return $configured;
    return sys_get_temp_dir() . '/zentok_srvmgr_notifications.jsonl';
}

// The newest notifications first, at most $limit of them.
function srvmgr_read(int $limit = 200): array {
    $file = srvmgr_data_file();
    if (!is_readable($file)) return [];
    $lines = file($file, FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES);
    if ($lines === false) return [];
    $entries = [];
    foreach (array_reverse($lines) as $line) {
        $entry = json_decode($line, true);
        if (is_array($entry)) $entries[] = $entry;
        if (count($entries) >= $limit) break;
    }
    return $entries;
}
