// Reads one captured request as JSON on stdin ({method, url, authorization,
// body, contentType, consumerSecret, tokenSecret}) and checks its OAuth 1.0a
// signature with the oauth-1.0a package. Prints "valid" or "invalid: ...".
const crypto = require('crypto');
const OAuth = require('oauth-1.0a');

let input = '';
process.stdin.on('data', (chunk) => (input += chunk));
process.stdin.on('end', () => {
  const req = JSON.parse(input);
  const params = {};
  const header = req.authorization.replace(/^OAuth\s+/, '');
  for (const part of header.split(/,\s*/)) {
    const m = part.match(/^([^=]+)="(.*)"$/);
    if (!m) { console.log('invalid: bad header part ' + part); return; }
    params[decodeURIComponent(m[1])] = decodeURIComponent(m[2]);
  }
  const oauth = OAuth({
    consumer: { key: params.oauth_consumer_key, secret: req.consumerSecret },
    signature_method: 'HMAC-SHA1',
    hash_function: (base, key) => crypto.createHmac('sha1', key).update(base).digest('base64'),
  });
  const oauthData = {};
  for (const [k, v] of Object.entries(params)) if (k !== 'oauth_signature') oauthData[k] = v;
  const body = {};
  if (req.contentType && req.contentType.startsWith('application/x-www-form-urlencoded') && req.body) {
    for (const [k, v] of new URLSearchParams(req.body)) body[k] = v;
  }
  const expected = oauth.getSignature({ url: req.url, method: req.method, data: body }, req.tokenSecret || '', oauthData);
  console.log(expected === params.oauth_signature ? 'valid' : 'invalid: expected ' + expected + ' got ' + params.oauth_signature);
});
