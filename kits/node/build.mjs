// npm run build: dist/cjs and dist/esm from the same sources, with the TypeScript the kit pins.
// dist/esm/package.json makes its .js files ES modules inside this CommonJS package.
import { execFileSync } from 'node:child_process';
import { rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';

const tsc = createRequire(import.meta.url).resolve('typescript/bin/tsc');
rmSync('dist', { recursive: true, force: true });
for (const project of ['tsconfig.json', 'tsconfig.esm.json']) {
  execFileSync(process.execPath, [tsc, '-p', project], { stdio: 'inherit' });
}
writeFileSync('dist/esm/package.json', '{ "type": "module" }\n');
