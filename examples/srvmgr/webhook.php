<?php
// The demo's webhook receiver: Zentok's "webhook" channel posts each
// notification here as a JSON object (text, content, source, node, value,
// time, receiver, kind). It is stored beside the server manager's posts, so
// the page lists both.
require __DIR__ . '/store.php';

if ($_SERVER['REQUEST_METHOD'] !== 'POST') {
    http_response_code(405);
    header('Allow: POST');
    echo "POST only\n";
    exit;
}
$body = json_decode(file_get_contents('php://input'), true);
if (!is_array($body)) {
    http_response_code(400);
    echo "not a JSON object\n";
    exit;
}
$field = function (string $name) use ($body): string {
    $value = $body[$name] ?? '';
    return is_string($value) ? $value : '';
};
$entry = [
    'time' => date('Y-m-d H:i:s'),
    'cmd' => $field('kind') === 'info' ? 'newinfo' : 'newmessage',
    'via' => 'webhook',
    'receiver' => $field('receiver'),
    'source' => $field('source'),
    'adr' => $field('node'),
    'message' => $field('text'),
];
$line = json_encode($entry, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE);
if (file_put_contents(srvmgr_data_file(), $line . "\n", FILE_APPEND | LOCK_EX) === false) {
    http_response_code(500);
    echo "cannot store\n";
    exit;
}
echo "ok\n";
