<?php
// The game's catalog, made from the files beside this script on every
// request: the same text as `quorvelctl catalog` of this folder (without
// this script). Put it in the folder the launcher's server base names.
//
// Which file is the game's executable and which holds the release notes:
// set here, or by the web server's environment.
$exe_name = getenv('QUORVEL_EXE') ?: 'game.exe';
$notes_name = getenv('QUORVEL_NOTES') ?: 'notes.txt';

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

$files = [];
if (!list_files($root, '', $self, $files)) {
    fail('cannot read the game folder');
}
usort($files, 'strcmp');

$catalog = '';
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
    $catalog .= sprintf("%s\n%s\n%d\n%8X\n%s\n\n\n", $kind, $url, $size, hexdec($crc), $name);
}

header('Content-Type: text/plain');
header('Content-Length: ' . strlen($catalog));
echo $catalog;
