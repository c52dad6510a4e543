<?php
// Raw request recorder for PHP's built-in web server, used as its router script:
//   timeout 120 php -S 127.0.0.1:PORT -t RECORD_DIR raw.php
// Appends the request line, the Content-Type and Content-Length headers and
// the undecoded body of every request to RECORD_DIR/raw.txt, so a test can
// compare the exact transcript of what the client sent.
$body = file_get_contents('php://input');
$headers = getallheaders();
$text = sprintf("%s %s %s\n", $_SERVER['REQUEST_METHOD'], $_SERVER['REQUEST_URI'], $_SERVER['SERVER_PROTOCOL']);
foreach (['Content-Type', 'Content-Length'] as $name) {
    foreach ($headers as $key => $value) {
        if (strcasecmp($key, $name) === 0) $text .= $name . ': ' . $value . "\n";
    }
}
$text .= "\n" . $body . "\n--\n";
file_put_contents($_SERVER['DOCUMENT_ROOT'] . '/raw.txt', $text, FILE_APPEND | LOCK_EX);
echo "ok\n";
return true;
