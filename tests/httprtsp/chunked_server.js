// A Node.js HTTP server that answers every request in chunked transfer coding:
// "hello ", the request body, " world" as separate chunks. Prints its port first.
'use strict';
const http = require('http');
const server = http.createServer((req, res) => {
  const parts = [];
  req.on('data', (c) => parts.push(c));
  req.on('end', () => {
    res.writeHead(200, { 'Content-Type': 'text/plain' });
    res.write('hello ');
    const body = Buffer.concat(parts);
    if (body.length) res.write(body);
    res.end(' world');
  });
});
server.listen(0, '127.0.0.1', () => {
  process.stdout.write(server.address().port + '\n');
});
process.on('SIGTERM', () => process.exit(0));
