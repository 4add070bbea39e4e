for (const u of users) {
  await fetch(u);
}
await fetch(other);
