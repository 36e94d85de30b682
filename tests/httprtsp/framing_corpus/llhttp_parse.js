// Feeds each case of a file ("request|response <hex>" per line) to Node's own HTTP parser
// (llhttp, strict: no lenient flags) one byte at a time, and prints what it made of it:
//   case <verdict> <messages>      verdict: ok, partial, bad@<offset> or upgrade
//   msg <end> <method> <target> <status> <headers> <body>   (fields in hex, "-" when empty)
// Headers are "name\0value\0" pairs, names lower-cased, in a stable order by name.
'use strict';
const fs = require('fs');
const { HTTPParser, methods } = require('_http_common');

const hex = (s) => (s.length ? Buffer.from(s, 'latin1').toString('hex') : '-');

function parse(type, data) {
    const parser = new HTTPParser();
    parser.initialize(type === 'request' ? HTTPParser.REQUEST : HTTPParser.RESPONSE, {}, 0, 0);
    const done = [];
    let current = null;
    let at = 0;
    let upgrade = false;
    // Many or long headers come ahead of the end of the header block, in pieces.
    let early = [];
    let earlyUrl = '';
    parser[HTTPParser.kOnHeadersComplete] = (major, minor, headers, method, url, status, reason,
                                             upgraded) => {
        headers = headers || early;
        url = url || earlyUrl;
        early = [];
        earlyUrl = '';
        const pairs = [];
        for (let i = 0; i < headers.length; i += 2)
            pairs.push([headers[i].toLowerCase(), headers[i + 1].replace(/^[ \t]+|[ \t]+$/g, '')]);
        pairs.sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0));
        current = {
            method: type === 'request' ? methods[method] : '',
            target: url || '',
            status: type === 'request' ? 0 : status,
            headers: pairs.map((p) => p[0] + '\0' + p[1] + '\0').join(''),
            body: [],
        };
        if (upgraded)
            upgrade = true;
    };
    parser[HTTPParser.kOnHeaders] = (headers, url) => {
        if (current)
            return; // trailers, which we drop too
        early = early.concat(headers);
        earlyUrl += url || '';
    };
    parser[HTTPParser.kOnBody] = (chunk) => current.body.push(Buffer.from(chunk));
    parser[HTTPParser.kOnMessageComplete] = () => {
        current.end = at;
        done.push(current);
        current = null;
    };
    let verdict = null;
    for (let i = 0; i < data.length && !verdict && !upgrade; ++i) {
        at = i + 1;
        const r = parser.execute(data.subarray(i, i + 1));
        if (r instanceof Error)
            verdict = 'bad@' + (i + 1);
    }
    if (upgrade) {
        verdict = 'upgrade';
    } else if (!verdict) {
        at = data.length;
        // An error here only says that the stream ended inside a message.
        const r = parser.finish();
        verdict = r instanceof Error || current ? 'partial' : 'ok';
    }
    // A message begun but not complete leaves the verdict partial.
    if (verdict === 'ok' && data.length > (done.length ? done[done.length - 1].end : 0))
        verdict = 'partial';
    const out = ['case ' + verdict + ' ' + done.length];
    for (const m of done)
        out.push(['msg', m.end, hex(m.method), hex(m.target), m.status, hex(m.headers),
                  hex(Buffer.concat(m.body).toString('latin1'))].join(' '));
    return out.join('\n');
}

const lines = fs.readFileSync(process.argv[2], 'latin1').split('\n').filter((l) => l.length);
for (const line of lines) {
    const [type, data] = line.split(' ');
    console.log(parse(type, Buffer.from(data === '-' ? '' : data, 'hex')));
}
