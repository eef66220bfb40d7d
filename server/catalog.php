<?php
// The game's catalog, made from the files beside this script on every
// request: the same text as `quorvelctl catalog` of this folder (without
// this script), LARGE records for files of 2 GiB or more included; a file
// with its block map beside it (NAME.qblocks, as `quorvelctl catalog
// --blocks` leaves it) gets the BLOCKS line that command writes. Put it in
// the folder the launcher's server base names.
//
// Each file's size and hashes are kept in a cache file between requests,
// so a request reads only the files that changed since the last one (the
// first request after an upload reads them all). A file counts as unchanged
// while its device, inode, size, modification and change times are those
// it had when it was hashed; a file changed in the last two seconds is
// hashed but not kept, as times are whole seconds here and a second write
// within the same second would otherwise go unseen. SHA-256 is computed
// only when signing; a file hashed without it is read once more by the
// first signed request. The cache lies in QUORVEL_CATALOG_CACHE (a file
// path; a lock file of the same name and ".lock" beside it), by default in
// the system's temporary folder under a name made from this folder's real
// path, never in this folder. A cache this script did not write (another
// folder's, another user's, or writable by others, damaged) is ignored and
// replaced.
//
// While it hashes, the script keeps the connection alive: after
// QUORVEL_CATALOG_KEEPALIVE seconds (5 unless set; a fraction is fine)
// without a reply it sends the status line and headers and then a blank line
// every as many seconds (launchers skip blank lines before records, and end
// a fetch after 30 s without a byte). Such a reply has no Content-Length;
// the catalog follows the blank lines, signed with them. Should a file then
// fail to read, the reply ends with a record keyword alone ("FILE"), which
// no launcher takes for a catalog: it keeps the one it has. A proxy before
// PHP must pass the reply on as it comes (nginx is told so with
// X-Accel-Buffering: no).
//
// Which file is the game's executable and which holds the release notes:
// set here, or by the web server's environment.
$exe_name = getenv('QUORVEL_EXE') ?: 'game.exe';
$notes_name = getenv('QUORVEL_NOTES') ?: 'notes.txt';

// Signing on the fly (for launchers built with QUORVEL_CATALOG_KEYS): the
// secret key file `quorvelctl keygen` wrote, kept outside this folder.
// Without one the catalog goes out unsigned, as every launcher reads it.
// VERSION is the time of the request unless set (it must never go down);
// EXPIRES lies this many days ahead. The key then lies on the web server:
// whoever controls the server can have anything signed. Signing on another
// machine (`quorvelctl catalog --sign`, a static catalog) keeps it out of
// reach.
$key_file = getenv('QUORVEL_SIGNING_KEY') ?: '';
$version = getenv('QUORVEL_CATALOG_VERSION') ?: (string) time();
$expires_days = getenv('QUORVEL_CATALOG_EXPIRES_DAYS') ?: '30';

$cache_file = getenv('QUORVEL_CATALOG_CACHE') ?: '';
$keepalive = getenv('QUORVEL_CATALOG_KEEPALIVE');
$keepalive = is_numeric($keepalive) && $keepalive >= 0 ? (float) $keepalive : 5.0;

// Longest line a launcher reads whole; a longer one would split into lines
// of its own and could forge records.
const CATALOG_LINE_LIMIT = 1023;
// Records of files this large or larger start with "LARGE " (LARGE FILE,
// LARGE EXE, LARGE NOTES): launchers that read sizes in 32 bits skip them.
const LARGE_RECORD_FROM = 2147483648;
// A block map a launcher takes (catalog/block_map.h): at most this long.
const BLOCK_MAP_SIZE_MAX = 24 + (1 << 19) * 20;

function list_files($root, $relative, $self, $key_identity, &$out)
{
    $folder = $relative === '' ? $root : "$root/$relative";
    $names = scandir($folder);
    if ($names === false) {
        return false;
    }
    foreach ($names as $name) {
        if ($name === '.' || $name === '..') {
            continue;
        }
        $child = $relative === '' ? $name : "$relative/$name";
        $path = "$root/$child";
        if (is_dir($path)) {
            if (!list_files($root, $child, $self, $key_identity, $out)) {
                return false;
            }
        } elseif (is_file($path) && realpath($path) !== $self && substr($name, -8) !== '.qblocks') {
            // Block maps (quorvelctl catalog --blocks) are never game files;
            // nor, as quorvelctl catalog skips them, FIFOs, devices, sockets
            // and links to nothing (a FIFO would hold the request for ever).
            if ($key_identity !== null && file_identity($path) === $key_identity) {
                // A link or a hard link to the key: the web server would
                // serve it under this name, listed or not.
                fail('a name for the signing key lies in the published folder: ' . shown($child));
            }
            $out[] = $child;
        }
    }
    return true;
}

// The file a path names, links followed: its device and inode.
function file_identity($path)
{
    $st = @stat($path);
    return $st === false ? null : "{$st['dev']}:{$st['ino']}";
}

// Letter case as the Windows launcher compares names: ASCII, and the 8-bit
// letters as the ANSI code page (1252) cases them, whatever the locale.
function upper_ascii($text)
{
    static $lower = null;
    static $upper = null;
    if ($lower === null) {
        $lower = 'abcdefghijklmnopqrstuvwxyz' . "\x9a\x9c\x9e\xff";
        $upper = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ' . "\x8a\x8c\x8e\x9f";
        for ($byte = 0xe0; $byte <= 0xfe; ++$byte) {
            if ($byte !== 0xf7) {
                $lower .= chr($byte);
                $upper .= chr($byte - 0x20);
            }
        }
    }
    return strtr($text, $lower, $upper);
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and COM or LPT with a superscript
// one to three, bytes B9, B2, B3), CONIN$, CONOUT$: in any case, with any
// extension and blanks before it, Windows opens a device, not a file.
function is_device_name($part)
{
    $dot = strpos($part, '.');
    $base = upper_ascii(rtrim($dot === false ? $part : substr($part, 0, $dot), ' '));
    return in_array($base, ['CON', 'PRN', 'AUX', 'NUL', 'CONIN$', 'CONOUT$'], true) ||
        preg_match('/^(COM|LPT)[0-9\xb9\xb2\xb3]$/', $base) === 1;
}

// The launcher's own files: at the top of the data folder, as a file or a
// folder; a download's .partial files and block maps anywhere.
function is_own_file($part, $top)
{
    $folded = upper_ascii($part);
    return ($top && in_array($folded, ['CATALOG.TXT', 'CATALOG.TXT.NEW', 'QUORVEL-LAUNCHER.INI'], true)) ||
        preg_match('/\.(PARTIAL(\.META)?|QBLOCKS)$/', $folded) === 1;
}

// The launcher's rules for a local file name (catalog_name_normalize in
// catalog/catalog.cpp; tests/data/catalog-names.txt holds both to the same
// table): the name as Win32 opens it (doubled separators are one, each
// component loses its trailing dots and blanks), with "/" separators, or
// why no catalog may hold it. Returns [normal form, null] or ['', reason].
function catalog_name_normalize($name)
{
    if ($name === '') {
        return ['', 'empty file name'];
    }
    if ($name[0] === '/' || $name[0] === '\\') {
        return ['', 'absolute file name'];
    }
    if (preg_match('/[\x00-\x1f<>:"|?*]/', $name) === 1) {
        return ['', 'character Windows refuses in a file name'];
    }
    $kept = [];
    $parts = preg_split('#[/\\\\]#', $name);
    foreach ($parts as $i => $part) {
        if ($part === '') {
            if ($i === count($parts) - 1) {
                return ['', 'empty folder or file name'];
            }
            continue; // "a//b" is "a/b"
        }
        $part = rtrim($part, '. ');
        if ($part === '') {
            return ['', 'name of dots and blanks only'];
        }
        if (is_device_name($part)) {
            return ['', 'Windows device name'];
        }
        if (is_own_file($part, count($kept) === 0)) {
            return ['', "the launcher's own file"];
        }
        $kept[] = $part;
    }
    $normal = implode('/', $kept);
    if (strlen($normal) > CATALOG_LINE_LIMIT) {
        return ['', 'file name too long'];
    }
    return [$normal, null];
}

// The reply so far: whether its head went out, the blank lines sent, and
// when the last byte went.
$reply = ['started' => false, 'sent' => '', 'last' => microtime(true)];

function fail($message)
{
    global $reply;
    if ($reply['started']) {
        // Too late for a status: a record keyword with nothing after it makes
        // the reply no catalog to any launcher, signed or not.
        error_log("catalog.php: $message");
        echo "FILE\n";
        exit;
    }
    http_response_code(500);
    header('Content-Type: text/plain');
    echo $message, "\n";
    exit;
}

// Called while the catalog is being made: once the reply has been silent for
// $every seconds, its head (on the first call) and a blank line go out.
function keep_alive($every)
{
    global $reply;
    $now = microtime(true);
    if ($now - $reply['last'] < $every) {
        return;
    }
    if (!$reply['started']) {
        @ini_set('zlib.output_compression', '0');
        header('Content-Type: text/plain');
        header('X-Accel-Buffering: no');
        while (ob_get_level() > 0 && @ob_end_flush()) {
        }
        $reply['started'] = true;
    }
    echo "\n";
    flush();
    $reply['sent'] .= "\n";
    $reply['last'] = $now;
}

// What makes a file the same file with the same bytes, from stat or fstat.
function stat_key($st)
{
    return "{$st['dev']}:{$st['ino']}:{$st['size']}:{$st['mtime']}:{$st['ctime']}";
}

// Whether a cache or lock file may be believed: on a POSIX system, a regular
// file of this process's user that no one else may write.
function is_own_file_handle($handle)
{
    $st = fstat($handle);
    if ($st === false || ($st['mode'] & 0170000) !== 0100000) {
        return false;
    }
    return !function_exists('posix_geteuid') ||
        ($st['uid'] === posix_geteuid() && ($st['mode'] & 0022) === 0);
}

function cache_header($root, $body)
{
    return 'quorvel-catalog-cache 1 ' . bin2hex($root) . ' ' . hash('crc32b', $body) . "\n";
}

// The cache's entries, name => [stat key, CRC-32, SHA-256 or ''], or none
// when the file is missing, not ours, another folder's or damaged in any way.
function cache_load($path, $root)
{
    $file = @fopen($path, 'rb');
    if ($file === false) {
        return [];
    }
    $text = is_own_file_handle($file) ? stream_get_contents($file) : false;
    fclose($file);
    $end = $text === false ? false : strpos($text, "\n");
    if ($end === false) {
        return [];
    }
    $body = substr($text, $end + 1);
    if (substr($text, 0, $end + 1) !== cache_header($root, $body)) {
        return [];
    }
    if ($body !== '' && substr($body, -1) !== "\n") {
        return [];
    }
    $lines = explode("\n", $body);
    array_pop($lines); // what follows the last line end: nothing
    $entries = [];
    foreach ($lines as $line) {
        $fields = explode("\t", $line);
        if (count($fields) !== 4 || $fields[0] === '' ||
            preg_match('/^[0-9a-f]{8}$/', $fields[2]) !== 1 ||
            preg_match('/^([0-9a-f]{64})?$/', $fields[3]) !== 1) {
            return [];
        }
        $entries[$fields[0]] = [$fields[1], $fields[2], $fields[3]];
    }
    return $entries;
}

// Written whole under a temporary name and renamed over the cache, so a
// reader sees the old cache or the new one. False when it cannot be.
function cache_save($path, $root, $entries)
{
    $body = '';
    foreach ($entries as $name => [$key, $crc, $sha]) {
        $body .= "$name\t$key\t$crc\t$sha\n";
    }
    $text = cache_header($root, $body) . $body;
    $folder = realpath(dirname($path));
    $temp = $folder === false ? false : @tempnam($folder, basename($path) . '.');
    if ($temp === false) {
        return false;
    }
    // tempnam falls back to another folder, where a rename would be a copy.
    if (realpath(dirname($temp)) !== $folder || @file_put_contents($temp, $text) !== strlen($text) ||
        !@rename($temp, $path)) {
        @unlink($temp);
        return false;
    }
    return true;
}

// One file read once: [bytes, CRC-32, SHA-256 or '', stat key when the entry
// may be kept, else null], or null when the file cannot be read.
function hash_file_once($path, $with_sha, $every)
{
    $file = @fopen($path, 'rb');
    if ($file === false) {
        return null;
    }
    // Blocks of 256 KiB, each one read(2) (not one each 8 KiB). With 1 MiB
    // blocks, most reads took a fresh mapping for the string, and its page
    // faults: three times as slow.
    stream_set_read_buffer($file, 0);
    $started = time();
    $before = fstat($file);
    $crc = hash_init('crc32b');
    $sha = $with_sha ? hash_init('sha256') : null;
    $size = 0;
    while (($block = @fread($file, 1 << 18)) !== '') {
        if ($block === false) {
            fclose($file);
            return null;
        }
        $size += strlen($block);
        hash_update($crc, $block);
        if ($sha !== null) {
            hash_update($sha, $block);
        }
        keep_alive($every);
    }
    $after = fstat($file);
    fclose($file);
    // Kept only when nothing changed while it was read, and when a later
    // change cannot leave both times as they are: their second is over.
    $key = $before === false ? '' : stat_key($before);
    $keep = $after !== false && stat_key($after) === $key && $size === $before['size'] &&
        max($before['mtime'], $before['ctime']) <= $started - 2;
    return [$size, hash_final($crc), $sha === null ? '' : hash_final($sha), $keep ? $key : null];
}

// The BLOCKS line for the map quorvelctl catalog --blocks wrote beside a
// file (NAME.qblocks), as quorvelctl writes it, or '' when there is none or
// it is not a map of a file of this size (stale, damaged, too large for
// launchers) or its line would be longer than quorvelctl allows.
function blocks_line($path, $url, $size)
{
    $map_path = "$path.qblocks";
    if (strlen($url) + 8 + 90 > CATALOG_LINE_LIMIT - 1 || !is_file($map_path)) {
        return '';
    }
    $map = @file_get_contents($map_path, false, null, 0, BLOCK_MAP_SIZE_MAX + 1);
    if ($map === false || strlen($map) < 24 || strlen($map) > BLOCK_MAP_SIZE_MAX) {
        return '';
    }
    $head = unpack('a8magic/Psize/Vblock/Vcount', $map);
    $block = $head['block'];
    $whole = $block >= 1024 && $block <= (4 << 20) && ($block & ($block - 1)) === 0 &&
        $head['magic'] === 'QBLOCKS1' && $head['size'] === $size &&
        $head['count'] === intdiv($size + $block - 1, $block) &&
        strlen($map) === 24 + 20 * $head['count'];
    return $whole ? sprintf("BLOCKS %d %s %s.qblocks\n", strlen($map), hash('sha256', $map), $url) : '';
}

// A LARGE record's keyword is one launchers reading 32-bit sizes skip; its
// name lines on their own must not read as a keyword to them (quorvelctl
// catalog refuses such a file too).
function refuse_large_keyword_name($name, $normal, $size)
{
    $keyword = '/^(LARGE )?(FILE|EXE|NOT)/';
    if ($size >= LARGE_RECORD_FROM &&
        (preg_match($keyword, $name) === 1 || preg_match($keyword, $normal) === 1)) {
        fail(shown($name) . ' is 2 GiB or larger and its name starts like a record keyword ' .
            '(FILE, EXE, NOT): older launchers would misread it');
    }
}

// A name for a message on one line.
function shown($name)
{
    return preg_replace('/[\x00-\x1f\x7f]/', '?', $name);
}

if (defined('QUORVEL_CATALOG_FUNCTIONS_ONLY')) {
    return; // included by a test for the functions above
}

$root = __DIR__;
$self = realpath(__FILE__);

$secret = null;
$key_identity = null;
if ($key_file !== '') {
    $key_path = realpath($key_file);
    if ($key_path === false || strpos($key_path, $root . '/') === 0) {
        // A key below this folder would be listed, and served, as a game file.
        fail('the signing key is missing or lies in the published folder');
    }
    $key_identity = file_identity($key_path);
    $seed = base64_decode(trim((string) file_get_contents($key_path)), true);
    if ($seed === false || strlen($seed) !== SODIUM_CRYPTO_SIGN_SEEDBYTES) {
        fail('the signing key file holds no key');
    }
    $secret = sodium_crypto_sign_secretkey(sodium_crypto_sign_seed_keypair($seed));
    if (!ctype_digit($version) || !ctype_digit($expires_days)) {
        fail('QUORVEL_CATALOG_VERSION and QUORVEL_CATALOG_EXPIRES_DAYS are whole numbers');
    }
}

$files = [];
if (!list_files($root, '', $self, $key_identity, $files)) {
    fail('cannot read the game folder');
}
usort($files, 'strcmp');

// Every name first, as `quorvelctl catalog` checks them: one the launcher
// would refuse, or two it would open as one file, refuses the whole
// catalog. A name holding line ends would otherwise add records of its own,
// signed with the rest.
$local = [];
$urls = [];
$seen = [];
foreach ($files as $name) {
    if (strlen($name) > CATALOG_LINE_LIMIT) {
        fail('path too long for a catalog: ' . shown($name));
    }
    [$normal, $problem] = catalog_name_normalize($name);
    if ($problem !== null) {
        fail("'" . shown($name) . "' cannot be a file name in a catalog: $problem");
    }
    $url = implode('/', array_map('rawurlencode', explode('/', $name)));
    if (strlen($url) > CATALOG_LINE_LIMIT) {
        fail('URL too long for ' . shown($name));
    }
    $folded = upper_ascii($normal);
    if (isset($seen[$folded])) {
        fail("'" . shown($seen[$folded]) . "' and '" . shown($name) .
            "' are one file on Windows ($normal); rename one");
    }
    $seen[$folded] = $name;
    $local[$name] = $normal;
    $urls[$name] = $url;
}

// Every file's stat next, still before a byte of the reply: a file that
// cannot be read, or that no catalog can describe, answers 500 as a name
// does.
$stats = [];
foreach ($files as $name) {
    $st = @stat("$root/$name");
    if ($st === false || !is_readable("$root/$name")) {
        fail('cannot read ' . shown($name));
    }
    refuse_large_keyword_name($name, $local[$name], $st['size']);
    $stats[$name] = stat_key($st);
}

if ($cache_file === '') {
    $cache_file = sys_get_temp_dir() . '/quorvel-catalog-' . substr(hash('sha256', $root), 0, 16) .
        '.cache';
}
$cache_folder = realpath(dirname($cache_file));
if ($cache_folder !== false && strpos($cache_folder . '/', $root . '/') === 0) {
    // It would be listed, and served, as a game file that never stops changing.
    fail('the catalog cache lies in the published folder');
}

// The files whose entry in the cache is missing or out of date.
function files_to_hash($files, $stats, $cached, $with_sha)
{
    $out = [];
    foreach ($files as $name) {
        $entry = $cached[$name] ?? null;
        if ($entry === null || $entry[0] !== $stats[$name] || ($with_sha && $entry[2] === '')) {
            $out[] = $name;
        }
    }
    return $out;
}

$with_sha = $secret !== null;
$cached = cache_load($cache_file, $root);
$hashed = []; // name => [bytes, CRC-32, SHA-256, stat key or null]
$missing = files_to_hash($files, $stats, $cached, $with_sha);
if ($missing !== []) {
    // Reading may take minutes; the result is worth keeping even when the
    // player who asked is gone.
    @set_time_limit(0);
    ignore_user_abort(true);
    // One request hashes at a time: those arriving meanwhile wait (blank
    // lines going out), then find the files in the cache.
    $lock = @fopen("$cache_file.lock", 'c');
    if ($lock !== false && !is_own_file_handle($lock)) {
        fclose($lock);
        $lock = false;
    }
    if ($lock !== false) {
        while (!flock($lock, LOCK_EX | LOCK_NB, $would_block)) {
            if (!$would_block) {
                break; // no locks on this file system: hash alongside
            }
            keep_alive($keepalive);
            usleep(100000);
        }
        $cached = cache_load($cache_file, $root);
        $missing = files_to_hash($files, $stats, $cached, $with_sha);
    }
    // What the cache holds of the files still here, and what was read now.
    $entries = function () use ($files, $stats, &$cached, &$hashed) {
        $out = [];
        foreach ($files as $name) {
            if (isset($hashed[$name])) {
                if ($hashed[$name][3] !== null) {
                    $out[$name] = [$hashed[$name][3], $hashed[$name][1], $hashed[$name][2]];
                }
            } elseif (isset($cached[$name]) && $cached[$name][0] === $stats[$name]) {
                $out[$name] = $cached[$name];
            }
        }
        return $out;
    };
    $saved = microtime(true);
    foreach ($missing as $name) {
        keep_alive($keepalive);
        $got = hash_file_once("$root/$name", $with_sha, $keepalive);
        if ($got === null) {
            fail('cannot read ' . shown($name));
        }
        refuse_large_keyword_name($name, $local[$name], $got[0]); // grown since its stat
        $hashed[$name] = $got;
        if (microtime(true) - $saved > 30) {
            // Now and then, so that a request stopped half way leaves its work.
            cache_save($cache_file, $root, $entries());
            $saved = microtime(true);
        }
    }
    if ($hashed !== [] && !cache_save($cache_file, $root, $entries())) {
        error_log("catalog.php: cannot write the cache $cache_file");
    }
    if ($lock !== false) {
        flock($lock, LOCK_UN);
        fclose($lock);
    }
}

$catalog = $reply['sent'];
if ($secret !== null) {
    $catalog .= "VERSION $version\n";
    $catalog .= 'EXPIRES ' . gmdate('Y-m-d\\TH:i:s\\Z', time() + 86400 * (int) $expires_days) . "\n";
}
foreach ($files as $name) {
    if (isset($hashed[$name])) {
        [$size, $crc, $sha] = $hashed[$name];
    } else {
        [, $crc, $sha] = $cached[$name];
        $size = (int) explode(':', $stats[$name])[2];
    }
    $kind = 'FILE';
    if ($name === $exe_name) {
        $kind = 'EXE';
    } elseif ($name === $notes_name) {
        $kind = 'NOTES';
    }
    if ($size >= LARGE_RECORD_FROM) {
        $kind = "LARGE $kind";
    }
    // Upper-case hex, eight wide and blank-padded, as the launcher's own
    // writer puts it.
    $catalog .= sprintf("%s\n%s\n%d\n%8X\n%s\n", $kind, $urls[$name], $size, hexdec($crc),
        $local[$name]);
    if ($secret !== null) {
        $catalog .= "SHA256 $sha\n";
    }
    // After the SHA256 line, where signed launchers look for it.
    $catalog .= blocks_line("$root/$name", $urls[$name], $size) . "\n\n";
}
if ($secret !== null) {
    // Over every byte before this line, as the launcher checks it: the
    // blank lines already sent too.
    $catalog .= 'SIGNATURE ed25519 ' . base64_encode(sodium_crypto_sign_detached($catalog, $secret)) . "\n";
}

if ($reply['started']) {
    echo substr($catalog, strlen($reply['sent']));
    exit;
}
header('Content-Type: text/plain');
header('Content-Length: ' . strlen($catalog));
echo $catalog;
