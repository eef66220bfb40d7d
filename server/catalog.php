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
// EXPIRES lies this many days ahead.
$key_file = getenv('QUORVEL_SIGNING_KEY') ?: '';
$version = getenv('QUORVEL_CATALOG_VERSION') ?: (string) time();
$expires_days = getenv('QUORVEL_CATALOG_EXPIRES_DAYS') ?: '30';

$root = __DIR__;
$self = realpath(__FILE__);

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
        } elseif (realpath($path) !== $self) {
            $out[] = $child;
        }
    }
    return true;
}

function fail($message)
{
    http_response_code(500);
    header('Content-Type: text/plain');
    echo $message, "\n";
    exit;
}

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
        fail("cannot read $name");
    }
    if ($size > 2147483647) {
        fail("$name is 2 GiB or larger; a catalog cannot describe it");
    }
    $kind = 'FILE';
    if ($name === $exe_name) {
        $kind = 'EXE';
    } elseif ($name === $notes_name) {
        $kind = 'NOTES';
    }
    $url = implode('/', array_map('rawurlencode', explode('/', $name)));
    // Upper-case hex, eight wide and blank-padded, as the launcher's own
    // writer puts it.
    $catalog .= sprintf("%s\n%s\n%d\n%8X\n%s\n", $kind, $url, $size, hexdec($crc), $name);
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
