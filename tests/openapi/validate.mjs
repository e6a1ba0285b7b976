// The OpenAPI document of `kav-host describe --openapi` against the OpenAPI 3.1 schema
// (@seriousme/openapi-schema-validator, pinned by package-lock.json), every $ref
// resolved, and what the schema cannot see: each path template's names declared as path
// parameters, operation ids unique, each enumeration with its values.
//   node validate.mjs KAV_HOST [describe options...]
// Exits 77 (skipped) when the validator is not installed, unless KAV_REQUIRE_OPENAPI=1,
// as in scripts/test, makes that a failure.
import { execFileSync } from "node:child_process";

const [kavHost, ...options] = process.argv.slice(2);
const required = process.env.KAV_REQUIRE_OPENAPI === "1";
if (!kavHost) {
  console.error("usage: node validate.mjs KAV_HOST [describe options...]");
  process.exit(2);
}

let Validator;
try {
  ({ Validator } = await import("@seriousme/openapi-schema-validator"));
} catch (error) {
  console.error(`${required ? "FAILED" : "skipped"}: the validator is not installed (npm ci in tests/openapi): ${error.message}`);
  process.exit(required ? 1 : 77);
}

const problems = [];
const text = execFileSync(kavHost, ["describe", "--openapi", ...options], { encoding: "utf8" });
const document = JSON.parse(text);

const validator = new Validator();
const result = await validator.validate(structuredClone(document));
if (!result.valid) problems.push(`not valid OpenAPI ${validator.version}: ${JSON.stringify(result.errors, null, 2)}`);
if (document.openapi !== "3.1.0") problems.push(`openapi is ${document.openapi}, not 3.1.0`);
if (result.valid) {
  try {
    validator.resolveRefs();
  } catch (error) {
    problems.push(`a $ref does not resolve: ${error.message}`);
  }
}

// Every $ref names a component that is there.
function walk(value, visit, where = "#") {
  if (Array.isArray(value)) value.forEach((item, i) => walk(item, visit, `${where}/${i}`));
  else if (value && typeof value === "object") {
    visit(value, where);
    for (const [key, item] of Object.entries(value)) walk(item, visit, `${where}/${key}`);
  }
}
walk(document, (node, where) => {
  if (typeof node.$ref !== "string") return;
  const target = node.$ref.replace(/^#\//, "").split("/").reduce((at, key) => at?.[key], document);
  if (target === undefined) problems.push(`${where}: $ref ${node.$ref} names nothing`);
});

const ids = new Set();
const methods = ["get", "put", "post", "delete", "options", "head", "patch", "trace"];
for (const [path, item] of Object.entries(document.paths ?? {})) {
  for (const method of methods.filter((m) => item[m])) {
    const operation = item[method];
    if (ids.has(operation.operationId)) problems.push(`operationId ${operation.operationId} twice`);
    ids.add(operation.operationId);
    const declared = (operation.parameters ?? []).filter((p) => p.in === "path").map((p) => p.name);
    for (const [, name] of path.matchAll(/\{([^}]*)\}/g)) {
      if (!declared.includes(name)) problems.push(`${method} ${path}: no path parameter ${name}`);
    }
    if (!operation.responses?.default) problems.push(`${method} ${path}: no error reply`);
  }
}
for (const [name, schema] of Object.entries(document.components?.schemas ?? {})) {
  if (schema.enum && (schema.enum.length === 0 || Object.keys(schema["x-kav-values"] ?? {}).length !== schema.enum.length)) {
    problems.push(`enumeration ${name} without its values`);
  }
}

if (problems.length > 0) {
  console.error(`FAILED: ${problems.join("\n")}`);
  process.exit(1);
}
