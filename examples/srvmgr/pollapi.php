<?php
// The demo server manager's receiving end: Zentok posts every notification of
// its server-manager receivers here as form fields (cmd, source, pass, adr,
// message). Each one is stored with its arrival time; the password is not kept.
require __DIR__ . '/store.php';

if ($_SERVER['REQUEST_METHOD'] !== 'POST') {
    http_response_code(405);
    header('Allow: POST');
    echo "POST only\n";
    exit;
}
$field = function (string $name): string {
    $value = $_POST[$name] ?? '';
    return is_string($value) ? $value : '';
};
$cmd = $field('cmd');
if ($cmd !== 'newmessage' && $cmd !== 'newinfo') {
    http_response_code(400);
    echo "unknown cmd\n";
    exit;
}
$entry = [
    'time' => date('Y-m-d H:i:s'),
    'cmd' => $cmd,
    'source' => $field('source'),
    'adr' => $field('adr'),
    'message' => $field('message'),
];
$line = json_encode($entry, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE);
if (file_put_contents(srvmgr_data_file(), $line . "\n", FILE_APPEND | LOCK_EX) === false) {
    http_response_code(500);
    echo "cannot store\n";
    exit;
}
echo "ok\n";
