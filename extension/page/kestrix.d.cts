// Types of require("kestrix-page"): the library object itself.
/// <reference path="./kestrix.d.ts" />

declare const client: Kestrix.Library;
export = client;
