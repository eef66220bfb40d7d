<?php
// The game's catalog, made from the files beside this script on every
// request: the same text as `quorvelctl catalog` of this folder (without
// this script). Put it in the folder the launcher's server base names.
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

// Longest line a launcher reads whole; a longer one would split into lines
// of its own and could forge records.
const CATALOG_LINE_LIMIT = 1023;

function list_files($root, $relative, $self, &$out)
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
            if (!list_files($root, $child, $self, $out)) {
                return false;
            }
        } elseif (realpath($path) !== $self && substr($name, -8) !== '.qblocks') {
            // Block maps (quorvelctl catalog --blocks) are never game files.
            $out[] = $child;
        }
    }
    return true;
}

// Letter case as the Windows launcher compares names: ASCII, and the 8-bit
// letters as the ANSI code page (1252) cases them, whatever the locale.
function upper_ascii($text)
{
    $lower = 'abcdefghijklmnopqrstuvwxyz' . "\x9a\x9c\x9e\xff";
    $upper = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ' . "\x8a\x8c\x8e\x9f";
    for ($byte = 0xe0; $byte <= 0xfe; ++$byte) {
        if ($byte !== 0xf7) {
            $lower .= chr($byte);
            $upper .= chr($byte - 0x20);
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

function fail($message)
{
    http_response_code(500);
    header('Content-Type: text/plain');
    echo $message, "\n";
    exit;
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
if ($key_file !== '') {
    $key_path = realpath($key_file);
    if ($key_path === false || strpos($key_path, $root . '/') === 0) {
        // A key below this folder would be listed, and served, as a game file.
        fail('the signing key is missing or lies in the published folder');
    }
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
if (!list_files($root, '', $self, $files)) {
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

$catalog = '';
if ($secret !== null) {
    $catalog .= "VERSION $version\n";
    $catalog .= 'EXPIRES ' . gmdate('Y-m-d\\TH:i:s\\Z', time() + 86400 * (int) $expires_days) . "\n";
}
foreach ($files as $name) {
    $path = "$root/$name";
    $size = filesize($path);
    $crc = hash_file('crc32b', $path);
    if ($size === false || $crc === false) {
        fail('cannot read ' . shown($name));
    }
    if ($size > 2147483647) {
        fail(shown($name) . ' is 2 GiB or larger; a catalog cannot describe it');
    }
    $kind = 'FILE';
    if ($name === $exe_name) {
        $kind = 'EXE';
    } elseif ($name === $notes_name) {
        $kind = 'NOTES';
    }
    // Upper-case hex, eight wide and blank-padded, as the launcher's own
    // writer puts it.
    $catalog .= sprintf("%s\n%s\n%d\n%8X\n%s\n", $kind, $urls[$name], $size, hexdec($crc),
        $local[$name]);
    if ($secret !== null) {
        $catalog .= 'SHA256 ' . hash_file('sha256', $path) . "\n";
    }
    $catalog .= "\n\n";
}
if ($secret !== null) {
    // Over every byte before this line, as the launcher checks it.
    $catalog .= 'SIGNATURE ed25519 ' . base64_encode(sodium_crypto_sign_detached($catalog, $secret)) . "\n";
}

header('Content-Type: text/plain');
header('Content-Length: ' . strlen($catalog));
echo $catalog;
