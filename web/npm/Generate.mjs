// Generates the package's files at build time (web/CMakeLists.txt):
//   node Generate.mjs inline MODULE.wasm OUT.js OUT.cjs
//     the module's bytes as a base64 string, the default export of OUT.js
//     and the exports of OUT.cjs;
//   node Generate.mjs commonjs IN.js OUT.cjs
//     the CommonJS form of an ES module of the package.
// The package's modules keep every import and export on one line of its own,
// in the few forms below; anything else fails the build rather than giving a
// CommonJS file that differs from its ES module.
import { readFileSync, writeFileSync } from 'node:fs';

const [verb, input, ...outputs] = process.argv.slice(2);
const heading = '// Generated from the package\'s build; edit the ES module it comes from.\n';

function fail(message) {
  console.error(`Generate.mjs: ${input}: ${message}`);
  process.exit(1);
}

// A specifier as CommonJS requires it: the package's own .js files as .cjs.
const required = (specifier) => specifier.replace(/^(\.\/.*)\.js$/, '$1.cjs');

function commonJS(text) {
  const names = [];
  const out = text
    .split('\n')
    .map((line) => {
      let m;
      if ((m = /^import (\w+) from '([^']+)';$/.exec(line)))
        return `const ${m[1]} = require('${required(m[2])}');`;
      if ((m = /^import \{([\w\s,]+)\} from '([^']+)';$/.exec(line)))
        return `const {${m[1]}} = require('${required(m[2])}');`;
      if ((m = /^export \{([\w\s,]+)\} from '([^']+)';$/.exec(line))) {
        names.push(...m[1].split(',').map((n) => n.trim()));
        return `const {${m[1]}} = require('${required(m[2])}');`;
      }
      if ((m = /^export ((?:async )?function\*? |class |const |let )(\w+)/.exec(line))) {
        names.push(m[2]);
        return line.slice('export '.length);
      }
      if ((m = /^export default (.*)$/.exec(line))) fail('export default is for generated files');
      // A module of the package loaded when first needed.
      return line.replace(
        /\bimport\('(\.\/[^']+\.js)'\)/g,
        (_, specifier) => `Promise.resolve().then(() => ({ default: require('${required(specifier)}') }))`,
      );
    })
    .join('\n');
  const left = /^\s*(import|export)\b.*$|\bimport\.meta\b|\bimport\(/m.exec(out);
  if (left) fail(`no CommonJS form for: ${left[0]}`);
  return `'use strict';\n${heading}${out}\nmodule.exports = { ${names.join(', ')} };\n`;
}

if (verb === 'inline') {
  const base64 = readFileSync(input).toString('base64');
  writeFileSync(outputs[0], `${heading}export default '${base64}';\n`);
  writeFileSync(outputs[1], `'use strict';\n${heading}module.exports = '${base64}';\n`);
} else if (verb === 'commonjs') {
  writeFileSync(outputs[0], commonJS(readFileSync(input, 'utf8')));
} else {
  fail(`unknown verb ${verb}`);
}
