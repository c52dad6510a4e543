<?php
// The demo server manager's page: the notifications Zentok posted, as form
// fields to pollapi.php or as JSON to webhook.php, newest first. It reloads
// itself every five seconds.
require __DIR__ . '/store.php';
$entries = srvmgr_read();
$h = fn(string $text): string => htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
// How an entry arrived: the server-manager post, or a webhook receiver's JSON.
$via = fn(array $e): string => ($e['via'] ?? '') === 'webhook'
    ? 'webhook (' . (string)($e['receiver'] ?? '') . ')' : 'server manager';
?>
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="refresh" content="5">
<title>Zentok server manager (demo)</title>
<style>
body { font-family: sans-serif; margin: 2em; }
table { border-collapse: collapse; }
th, td { border: 1px solid #bbb; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }
th { background: #eee; }
td.message { white-space: pre-wrap; }
.newinfo { color: #555; }
</style>
</head>
<body>
<h1>Zentok server manager (demo)</h1>
<p><?= count($entries) ?> notification(s) received, newest first. Data file: <code><?= $h(srvmgr_data_file()) ?></code></p>
<?php if (!$entries): ?>
<p>Nothing received yet. Point Zentok at this server with <code>uplink;srvmgr;http://<?= $h($_SERVER['HTTP_HOST'] ?? '127.0.0.1:8080') ?></code>
and give a receiver no <code>adr</code> line, or give a receiver
<code>adr;webhook;http://<?= $h($_SERVER['HTTP_HOST'] ?? '127.0.0.1:8080') ?>/webhook.php</code>.</p>
<?php else: ?>
<table>
<tr><th>Received</th><th>Kind</th><th>Via</th><th>Source</th><th>Node</th><th>Message</th></tr>
<?php foreach ($entries as $e): ?>
<tr class="<?= $h((string)($e['cmd'] ?? '')) ?>">
<td><?= $h((string)($e['time'] ?? '')) ?></td>
<td><?= ($e['cmd'] ?? '') === 'newinfo' ? 'info' : 'message' ?></td>
<td><?= $h($via($e)) ?></td>
<td><?= $h((string)($e['source'] ?? '')) ?></td>
<td><?= $h((string)($e['adr'] ?? '')) ?></td>
<td class="message"><?= $h((string)($e['message'] ?? '')) ?></td>
</tr>
<?php endforeach; ?>
</table>
<?php endif; ?>
</body>
</html>
