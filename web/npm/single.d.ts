/**
 * The main entry's functions in a form that bundles into one file, both
 * modules included: for Rollup's `format: 'iife'` or `'umd'` (which cannot
 * split off the portable module that the main entry imports on demand) and
 * other single-file builds. Rollup's `output.inlineDynamicImports: true`
 * gives one file from the main entry too.
 */
export * from './index.js';
