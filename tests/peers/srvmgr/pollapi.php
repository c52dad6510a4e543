<?php
// Test server manager for PHP's built-in web server, used as its router script:
//   timeout 120 php -S 127.0.0.1:PORT -t RECORD_DIR pollapi.php
// Every POST to a path ending in "/pollapi.php" is decoded by PHP itself and
// appended to RECORD_DIR/posts.jsonl as one JSON line: the request path and
// $_POST in the order the fields arrived. A path containing "/status500/"
// answers 500 and one containing "/moved/" redirects to https, for the
// failure reports of the client. A path containing "/slow/" is served 12
// seconds late, longer than the client's dispatch waits. One containing
// "/fail-first/" answers 500 to its first post and takes the later ones, as a
// server manager that restarts. One containing "/big-reply/" is recorded and
// answered with 100000 lines, each with a terminal escape sequence. Anything
// else is 404.
$path = parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH);
if (strpos($path, '/status500/') !== false) {
    http_response_code(500);
    echo "failing on purpose\n";
    return true;
}
$failedOnce = $_SERVER['DOCUMENT_ROOT'] . '/failed-once';
if (strpos($path, '/fail-first/') !== false && !file_exists($failedOnce)) {
    touch($failedOnce);
    http_response_code(500);
    echo "restarting\n";
    return true;
}
if (strpos($path, '/moved/') !== false) {
    header('Location: https://' . $_SERVER['HTTP_HOST'] . $path, true, 301);
    return true;
}
if (strpos($path, '/slow/') !== false) {
    sleep(12);
}
if ($_SERVER['REQUEST_METHOD'] !== 'POST' || !preg_match('#/pollapi\.php$#', $path)) {
    http_response_code(404);
    echo "not found\n";
    return true;
}
$record = ['uri' => $path, 'post' => $_POST];
$line = json_encode($record, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE);
file_put_contents($_SERVER['DOCUMENT_ROOT'] . '/posts.jsonl', $line . "\n", FILE_APPEND | LOCK_EX);
if (strpos($path, '/big-reply/') !== false) {
    echo str_repeat("reply \x1b[1mline\n", 100000);
    return true;
}
echo "ok\n";
return true;
